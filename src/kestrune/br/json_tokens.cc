#include "kestrune/br/json_tokens.h"

#include <cstring>

namespace kestrune::br {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool valid_string_token(std::string_view token) {
  if (token.size() < 2 || token.front() != '"' || token.back() != '"') return false;
  if (!has_backslash(token)) return true;
  const char* p = token.data() + 1;
  const char* end = token.data() + token.size() - 1;  // the closing quote
  // File contents carry an escape every line or so: memchr keeps the stretches between them cheap.
  while (const void* hit = std::memchr(p, '\\', static_cast<size_t>(end - p))) {
    p = static_cast<const char*>(hit) + 1;
    if (p == end) return false;  // the closing quote itself is escaped
    switch (*p) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        ++p;
        break;
      case 'u':
        if (end - p < 5 || !is_hex(p[1]) || !is_hex(p[2]) || !is_hex(p[3]) || !is_hex(p[4]))
          return false;
        p += 5;
        break;
      default:
        return false;
    }
  }
  return true;
}

bool valid_number_token(std::string_view token) {
  const char* p = token.data();
  const char* end = p + token.size();
  auto digits = [&] {
    const char* start = p;
    while (p != end && is_digit(*p)) ++p;
    return p != start;
  };
  if (p != end && *p == '-') ++p;
  if (p == end) return false;
  if (*p == '0') {
    ++p;
  } else if (!digits()) {
    return false;
  }
  if (p != end && *p == '.') {
    ++p;
    if (!digits()) return false;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (!digits()) return false;
  }
  return p == end;
}

bool valid_literal_token(std::string_view token) {
  return token == "true" || token == "false" || token == "null";
}

}  // namespace kestrune::br
