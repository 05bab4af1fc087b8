// Walking a mapped graph file once with simdjson's on-demand reader, as a full
// check of the text: br's graph reader and the relevance index's builder both
// read the graph this way.
//
// "Invalid JSON is an error" must hold exactly, and the on-demand reader alone
// does not promise it: it decodes nothing it is not asked for. What makes a
// walk a full check:
//  - the structural scan (simdjson stage 1) runs over the whole file and
//    rejects invalid UTF-8, unescaped control characters and unclosed strings;
//  - every object and array is iterated, never skipped, so each comma, colon,
//    key and bracket is checked as the walk passes it, and the document must
//    end where the root object ends (at_end());
//  - every scalar the walk does not decode is checked as a raw token
//    (json_tokens.h): string escapes, the number grammar, the three literals.
// Anything else (escaped keys, NaN, an unexpected type, any simdjson error)
// ends the walk with NeedsFullReader, and the caller hands the file to the full
// reader, which gives the exact result or the exact error.
#pragma once

#include <simdjson.h>

#include <string_view>

#include "kestrune/base/json.h"
#include "kestrune/br/json_tokens.h"
#include "kestrune/br/score.h"

namespace kestrune::br::json_walk {

namespace od = simdjson::ondemand;

struct NeedsFullReader {};

[[noreturn]] inline void full_reader() { throw NeedsFullReader{}; }

// Keys are compared as written: an escaped key could still spell "id".
inline std::string_view key_of(od::field& f) {
  const char* k = f.key().raw();
  for (const char* p = k;; ++p) {
    if (*p == '"') return {k, static_cast<size_t>(p - k)};
    if (*p == '\\') full_reader();
  }
}

// A string must be consumed, never left for the reader to skip: skipping
// takes a string followed by a colon for a key and would let "a": pass
// where a comma belongs.
inline void consume_string(od::value& v) { v.get_raw_json_string().value(); }

// A string value's text: a view into the file when it has no escape, else
// decoded into the parser's buffer (valid while the parser keeps this document).
inline std::string_view string_of(od::value& v) {
  std::string_view token = trim_token(v.raw_json_token());
  std::string_view body = token.substr(1, token.size() - 2);
  if (has_backslash(body)) return v.get_string();
  consume_string(v);
  return body;
}

// Walks a value without decoding it, checking it.
inline void check(od::value v) {
  switch (v.type()) {
    case od::json_type::object:
      for (od::field f : v.get_object()) {
        key_of(f);
        check(f.value());
      }
      return;
    case od::json_type::array:
      for (auto element : v.get_array()) check(element.value());
      return;
    case od::json_type::string:
      if (!valid_string_token(trim_token(v.raw_json_token()))) full_reader();
      consume_string(v);
      return;
    case od::json_type::number:
      if (!valid_number_token(trim_token(v.raw_json_token()))) full_reader();
      return;
    case od::json_type::boolean:
    case od::json_type::null:
      if (!valid_literal_token(trim_token(v.raw_json_token()))) full_reader();
      return;
  }
  full_reader();
}

inline bool is_null(od::value& v) {
  if (v.type() != od::json_type::null) return false;
  check(v);
  return true;
}

// str() of a scalar: strings as they are, numbers and literals in Python's
// text form (kept in `arena`). Lists and maps go to the full reader.
inline std::string_view text_of(od::value& v, bool& is_str, TextArena& arena) {
  is_str = false;
  switch (v.type()) {
    case od::json_type::string:
      is_str = true;
      return string_of(v);
    case od::json_type::number:
    case od::json_type::boolean:
    case od::json_type::null: {
      std::string_view token = trim_token(v.raw_json_token());
      if (!valid_number_token(token) && !valid_literal_token(token)) full_reader();
      return arena.emplace_back(json::py_str(json::parse(token)));
    }
    default:
      full_reader();
  }
}

// The text of the object that starts at `start`, once it has been walked.
inline std::string_view walked_text(od::document& doc, const char* start) {
  const char* end = doc.current_location();
  std::string_view text = trim_token({start, static_cast<size_t>(end - start)});
  if (text.empty() || text.front() != '{' || text.back() != '}') full_reader();
  return text;
}

// Whether nothing follows the root value.
inline bool at_end(od::document& doc) { return doc.current_location().error() == simdjson::OUT_OF_BOUNDS; }

}  // namespace kestrune::br::json_walk
