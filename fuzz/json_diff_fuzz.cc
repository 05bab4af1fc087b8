// The JSON readers against one another: json::parse (simdjson, handing what
// it refuses to the exact scanner) and json::parse_exact (what the statically
// linked hook uses) must accept and refuse the same texts, build the same
// values and report the same errors; and where for_each_element streams a
// document's one array, parse() must read that document with those elements.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/base/json.h"
#include "kestrune/base/json_exact.h"
#include "kestrune/base/text.h"

using namespace kestrune;

namespace {

// Equal values where Int, BigInt and Float are told apart, -0.0 from 0.0, and NaN equals NaN.
bool same(const json::Value& a, const json::Value& b) {
  using T = json::Value::Type;
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case T::Float: {
      const double x = a.as_double(), y = b.as_double();
      return (std::isnan(x) && std::isnan(y)) || std::memcmp(&x, &y, sizeof x) == 0;
    }
    case T::Array: {
      const json::Array &x = a.as_array(), &y = b.as_array();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i)
        if (!same(x[i], y[i])) return false;
      return true;
    }
    case T::Object: {
      const json::Object &x = a.as_object(), &y = b.as_object();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
        if (i->key != j->key || !same(i->value, j->value)) return false;
      return true;
    }
    default:
      return a == b;
  }
}

struct Outcome {
  std::optional<json::Value> value;
  std::string error;  // the error's kind, position and text when refused
};

Outcome read(const std::function<json::Value()>& reader) {
  try {
    return {reader(), {}};
  } catch (const json::ParseError& e) {
    return {std::nullopt, "ParseError at " + std::to_string(e.pos) + ": " + e.what()};
  } catch (const std::exception& e) {
    return {std::nullopt, std::string("other: ") + e.what()};
  }
}

[[noreturn]] void disagree(const char* what, const Outcome& a, const Outcome& b) {
  auto show = [](const Outcome& o) { return o.value ? json::dumps(*o.value) : o.error; };
  std::fprintf(stderr, "%s\n  one:   %s\n  other: %s\n", what, show(a).c_str(), show(b).c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!text::is_valid_utf8(bytes)) return 0;  // both read decoded text
  const Outcome fast = read([&] { return json::parse(bytes); });
  const Outcome exact = read([&] { return json::parse_exact(bytes); });
  if (fast.value.has_value() != exact.value.has_value() ||
      (fast.value ? !same(*fast.value, *exact.value) : fast.error != exact.error))
    disagree("parse and parse_exact disagree", fast, exact);

  std::string text(bytes);
  json::Array streamed;
  if (json::for_each_element(text, "nodes", [&](json::Value&& v) {
        streamed.push_back(std::move(v));
        return true;
      })) {
    const json::Value* nodes = fast.value ? fast.value->find("nodes") : nullptr;
    const Outcome whole = nodes ? Outcome{*nodes, {}} : fast;
    if (!nodes || !same(*nodes, json::Value(streamed)))
      disagree("for_each_element and parse disagree", Outcome{json::Value(streamed), {}}, whole);
  }
  return 0;
}
