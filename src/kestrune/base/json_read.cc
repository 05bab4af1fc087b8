// JSON reading with json.loads semantics.
//
// The fast path is simdjson: it validates the document and we copy its tape
// into ordered Values. Whatever simdjson rejects (NaN/Infinity, integers beyond
// 64 bits, 1e400, lone surrogate escapes, malformed text, ...) is parsed again
// by the exact scanner (json_exact.cc), which accepts exactly what Python
// accepts and reports failures with Python's JSONDecodeError text and positions.
#include <simdjson.h>

#include <algorithm>
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

// ---- streaming one array ------------------------------------------------------

namespace od = simdjson::ondemand;

// Nesting left to a streamed element: the array and its object take two
// levels, and a few more are kept in hand so that the element's own limit
// never lets through what the whole document's would refuse.
constexpr size_t kStreamDepth = MAX_DEPTH - 8;

size_t depth_of(const Value& v) {
  size_t d = 0;
  if (v.is_array())
    for (const Value& item : v.as_array()) d = std::max(d, depth_of(item));
  else if (v.is_object())
    for (const Member& m : v.as_object()) d = std::max(d, depth_of(m.value));
  else
    return 0;
  return d + 1;
}

// Reads a value through to its end, building nothing: whether it is valid
// JSON that parse() reads the same way (numbers within 64 bits, no lone
// surrogates).
bool check(od::value v, size_t depth) {
  if (depth > kStreamDepth) return false;
  od::json_type type;
  if (v.type().get(type)) return false;
  switch (type) {
    case od::json_type::object: {
      od::object o;
      if (v.get_object().get(o)) return false;
      for (auto field : o) {
        std::string_view key;
        od::value member;
        if (field.unescaped_key().get(key) || field.value().get(member) || !check(member, depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::array: {
      od::array a;
      if (v.get_array().get(a)) return false;
      for (auto item : a) {
        od::value element;
        if (item.get(element) || !check(element, depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::number: {
      od::number n;
      return !v.get_number().get(n);
    }
    case od::json_type::string: {
      std::string_view s;
      return !v.get_string().get(s);
    }
    case od::json_type::boolean: {
      bool b;
      return !v.get_bool().get(b);
    }
    case od::json_type::null: {
      bool null = false;
      return !v.is_null().get(null) && null;
    }
  }
  return false;
}

// The element's text as it stands in the document. A string is read past as
// well: one left unread is skipped as if it were a key when a colon follows
// it, so a malformed array ("a": 1 among its elements) would pass unseen.
bool element_text(od::value v, std::string_view& out) {
  od::json_type type;
  if (v.type().get(type)) return false;
  if (type == od::json_type::object) {
    od::object o;
    return !v.get_object().get(o) && !o.raw_json().get(out);
  }
  if (type == od::json_type::array) {
    od::array a;
    return !v.get_array().get(a) && !a.raw_json().get(out);
  }
  out = v.raw_json_token();
  while (!out.empty() && (out.back() == ' ' || out.back() == '\t' || out.back() == '\n' || out.back() == '\r'))
    out.remove_suffix(1);
  od::raw_json_string unread;
  return type != od::json_type::string || !v.get_raw_json_string().get(unread);
}

enum class Stream { Done, Stopped, Unusual };

Stream stream(std::string& text, std::string_view key, const std::function<bool(Value&&)>& each) {
  if (text.capacity() < text.size() + simdjson::SIMDJSON_PADDING) text.reserve(text.size() + simdjson::SIMDJSON_PADDING);
  od::parser parser;
  if (parser.allocate(text.size(), MAX_DEPTH)) throw std::bad_alloc();
  od::document doc;
  if (parser.iterate(simdjson::padded_string_view(text.data(), text.size(), text.capacity())).get(doc))
    return Stream::Unusual;
  od::object top;
  if (doc.get_object().get(top)) return Stream::Unusual;
  bool seen = false;
  for (auto field : top) {
    std::string_view name;
    od::value member;
    if (field.unescaped_key().get(name) || field.value().get(member)) return Stream::Unusual;
    if (name != key) {
      if (!check(member, 1)) return Stream::Unusual;
      continue;
    }
    if (seen) return Stream::Unusual;
    seen = true;
    od::array items;
    if (member.get_array().get(items)) return Stream::Unusual;
    for (auto item : items) {
      od::value element;
      std::string_view raw_element;
      if (item.get(element) || !element_text(element, raw_element)) return Stream::Unusual;
      Value v;
      try {
        v = parse(raw_element);
      } catch (const ParseError&) {
        return Stream::Unusual;
      }
      if (depth_of(v) > kStreamDepth) return Stream::Unusual;
      if (!each(std::move(v))) return Stream::Stopped;
    }
  }
  // Past the object there must be nothing left (no location to report).
  const char* trailing = nullptr;
  if (!seen || !doc.current_location().get(trailing)) return Stream::Unusual;
  return Stream::Done;
}

}  // namespace

bool for_each_element(std::string& text, std::string_view key, const std::function<bool(Value&&)>& each) {
  return stream(text, key, each) != Stream::Unusual;
}

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
