// JSON reading with json.loads semantics.
//
// The fast path is simdjson: it validates the document and we copy its tape
// into ordered Values. Whatever simdjson rejects (NaN/Infinity, integers beyond
// 64 bits, 1e400, lone surrogate escapes, malformed text, ...) is parsed again
// by the exact scanner (json_exact.cc), which accepts exactly what Python
// accepts and reports failures with Python's JSONDecodeError text and positions.
#include <simdjson.h>

#include <string>

#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/base/json_exact.h"
#include "kestrune/base/text.h"

namespace kestrune::json {

namespace {

// ---- fast path ----------------------------------------------------------------

// A parser keeps buffers sized for the largest document it has seen, so one
// is reused only for small documents; a large one gets its own, freed after.
constexpr size_t kReusedParserLimit = 1 << 20;

simdjson::dom::parser new_parser(size_t capacity) {
  simdjson::dom::parser p;
  if (p.allocate(capacity, MAX_DEPTH)) throw std::bad_alloc();
  return p;
}

simdjson::dom::parser& small_parser() {
  thread_local simdjson::dom::parser parser = new_parser(1 << 16);
  return parser;
}

Value from_dom(simdjson::dom::element e) {
  using T = simdjson::dom::element_type;
  switch (e.type()) {
    case T::NULL_VALUE: return Value();
    case T::BOOL: return Value(bool(e.get_bool().value_unsafe()));
    case T::INT64: return Value(static_cast<long long>(e.get_int64().value_unsafe()));
    case T::UINT64: return Value(static_cast<unsigned long long>(e.get_uint64().value_unsafe()));
    case T::DOUBLE: return Value(e.get_double().value_unsafe());
    case T::STRING: return Value(e.get_string().value_unsafe());
    case T::ARRAY: {
      simdjson::dom::array a = e.get_array().value_unsafe();
      Array out;
      out.reserve(a.size());
      for (simdjson::dom::element item : a) out.push_back(from_dom(item));
      return Value(std::move(out));
    }
    case T::OBJECT: {
      simdjson::dom::object o = e.get_object().value_unsafe();
      Object out;
      out.reserve(o.size());
      for (simdjson::dom::key_value_pair kv : o)
        out.set(std::string(kv.key), from_dom(kv.value));
      return Value(std::move(out));
    }
  }
  return Value();
}

}  // namespace

Value parse(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF")
    throw ParseError("Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)", 0);
  simdjson::dom::element root;
  if (text.size() <= kReusedParserLimit) {
    if (!small_parser().parse(text.data(), text.size()).get(root)) return from_dom(root);
  } else {
    simdjson::dom::parser parser = new_parser(text.size());
    if (!parser.parse(text.data(), text.size()).get(root)) return from_dom(root);
  }
  return parse_exact(text);
}

Value load_file(const std::string& path, text::Errors errors) {
  std::string decoded = text::decode(fs::read_bytes(path), errors);
  return parse(text::strip_bom(decoded));
}

}  // namespace kestrune::json
