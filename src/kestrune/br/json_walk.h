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

#include <bit>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Whether a string body holds a \uD8xx..\uDFxx escape: simdjson refuses a
// lone surrogate, and "\udcff" is how a name's byte that is not UTF-8 is written.
inline bool has_surrogate_escape(std::string_view body) {
  for (size_t k = body.find("\\u"); k != body.npos && k + 3 < body.size(); k = body.find("\\u", k + 1)) {
    const char hi = body[k + 2], next = body[k + 3];
    if ((hi == 'd' || hi == 'D') && std::strchr("89abcdefABCDEF", next) && next != '\0') return true;
  }
  return false;
}

// A string value's text: a view into the file when it has no escape, else
// decoded into the parser's buffer (valid while the parser keeps this
// document), or, with a surrogate escape, read exactly into `arena`.
inline std::string_view string_of(od::value& v, TextArena& arena) {
  std::string_view token = trim_token(v.raw_json_token());
  std::string_view body = token.substr(1, token.size() - 2);
  if (has_backslash(body)) {
    if (!has_surrogate_escape(body)) return v.get_string();
    if (!valid_string_token(token)) full_reader();
    consume_string(v);
    return arena.emplace_back(json::parse(token).as_string());
  }
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
      return string_of(v, arena);
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

// The body of a string token (the text between its quotes, which the
// structural scan checked), decoded as json::parse decodes it: escapes
// resolved, a surrogate pair joined. Written to `out`; false when an escape is
// malformed or a surrogate stands alone (how json::parse carries that one is
// its own business: the caller asks it). Files carry an escape a line or
// so: the stretches between them are copied 16 bytes at a time.
inline bool unescape(std::string_view body, std::string& out) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  out.resize(body.size());  // never longer decoded
  const char* p = body.data();
  const char* const end = p + body.size();
  char* o = out.data();
  auto hex4 = [&](const char* at, char32_t& v) {
    if (end - at < 4) return false;
    v = 0;
    for (int q = 0; q < 4; ++q) {
      const int h = hex(at[q]);
      if (h < 0) return false;
      v = (v << 4) | static_cast<char32_t>(h);
    }
    return true;
  };
  for (;;) {
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16, o += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), x);
      if (const int m = _mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('\\')))) {
        const int at = std::countr_zero(static_cast<unsigned>(m));
        p += at;
        o += at;
        break;
      }
    }
#endif
    while (p < end && *p != '\\') *o++ = *p++;
    if (p == end) break;
    if (end - p < 2) return false;
    const char c = p[1];
    p += 2;
    switch (c) {
      case '"': case '\\': case '/': *o++ = c; break;
      case 'b': *o++ = '\b'; break;
      case 'f': *o++ = '\f'; break;
      case 'n': *o++ = '\n'; break;
      case 'r': *o++ = '\r'; break;
      case 't': *o++ = '\t'; break;
      case 'u': {
        char32_t cp;
        if (!hex4(p, cp)) return false;
        p += 4;
        char32_t low;
        if (cp >= 0xD800 && cp <= 0xDBFF && end - p >= 6 && p[0] == '\\' && p[1] == 'u' && hex4(p + 2, low) &&
            low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          p += 6;
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        if (cp < 0x80) {
          *o++ = static_cast<char>(cp);
        } else if (cp < 0x800) {
          *o++ = static_cast<char>(0xC0 | (cp >> 6));
          *o++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
          *o++ = static_cast<char>(0xE0 | (cp >> 12));
          *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          *o++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
          *o++ = static_cast<char>(0xF0 | (cp >> 18));
          *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
          *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          *o++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
        break;
      }
      default:
        return false;
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return true;
}

// Whether nothing follows the root value.
inline bool at_end(od::document& doc) { return doc.current_location().error() == simdjson::OUT_OF_BOUNDS; }

}  // namespace kestrune::br::json_walk
