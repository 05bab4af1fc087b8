// Checks on raw JSON tokens that the streaming graph reader passes over
// without decoding. Each accepts only text that Python's reader accepts with
// the same meaning; whatever they refuse goes to the full reader, so a refusal
// is never wrong, only slower.
#pragma once

#include <string_view>

namespace kestrune::br {

// The token without the JSON whitespace (space, tab, LF, CR) that follows it.
inline std::string_view trim_token(std::string_view token) {
  size_t n = token.size();
  while (n > 0 && (token[n - 1] == ' ' || token[n - 1] == '\t' || token[n - 1] == '\n' ||
                   token[n - 1] == '\r'))
    --n;
  return token.substr(0, n);
}

// Whether `s` holds a backslash. Most strings are short, where one pass the
// compiler reads wide beats a call to memchr.
inline bool has_backslash(std::string_view s) {
  if (s.size() > 64) return s.find('\\') != s.npos;
  unsigned char seen = 0;
  for (char c : s) seen |= c == '\\';
  return seen;
}

// A string literal, quotes included, whose escapes are all well formed: a
// backslash and one of "\/bfnrt, or a backslash, u and four hex digits (any
// code unit: Python takes lone surrogates). Assumes the UTF-8 and
// control-character checks the structural scan already made.
bool valid_string_token(std::string_view token);

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)? and nothing else.
bool valid_number_token(std::string_view token);

// true, false or null.
bool valid_literal_token(std::string_view token);

}  // namespace kestrune::br
