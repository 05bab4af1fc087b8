// The JSON reader behind every graph, log and hook input: whatever it accepts
// must write back and read again to the same value, in both layouts. Text
// that is not UTF-8 is read too: an argument's undecodable bytes are kept.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kestrune/base/json.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  json::Value v;
  try {
    v = json::parse(bytes);
  } catch (const json::ParseError&) {
    return 0;
  }
  for (int indent : {-1, 2}) {
    std::string out = json::dumps(v, {.indent = indent});
    json::Value again = json::parse(out);
    // NaN never equals itself, so compare the written forms rather than the values.
    if (json::dumps(again, {.indent = indent}) != out) std::abort();
  }
  json::py_repr(v);
  return 0;
}
