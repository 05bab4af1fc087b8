#include "kestrune/base/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kestrune::text {

namespace detail {
// unicode_tables.cc
uint32_t properties(char32_t c);
const char32_t* lower_mapping(char32_t c);
const char32_t* upper_mapping(char32_t c);
}  // namespace detail

namespace {

enum Prop : uint32_t {
  kSpace = 1u << 0,
  kUpper = 1u << 1,
  kLower = 1u << 2,
  kAlpha = 1u << 3,
  kDecimal = 1u << 4,
  kDigit = 1u << 5,
  kAlnum = 1u << 6,
  kPrintable = 1u << 7,
  kCased = 1u << 8,
  kCaseIgnorable = 1u << 9,
};

bool has(char32_t c, uint32_t prop) { return (detail::properties(c) & prop) != 0; }

bool is_ascii_space(unsigned char b) {
  return b == ' ' || (b >= '\t' && b <= '\r') || (b >= 0x1c && b <= 0x1f);
}

bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the longest valid prefix of an encoded code point starting at
// s[i] (1..4 bytes), and whether it is a complete sequence. Follows the
// well-formed table of Unicode 3.9 (no overlongs, no surrogates, <= U+10FFFF),
// which is what makes the replacement count match CPython's.
struct Scan {
  int len;
  bool ok;
};

Scan scan_sequence(std::string_view s, size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return {1, true};
  int need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  int len = 1;
  for (int k = 0; k < need; ++k) {
    if (i + len >= s.size()) return {len, false};
    const auto b = static_cast<unsigned char>(s[i + len]);
    const unsigned char l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
    if (b < l || b > h) return {len, false};
    ++len;
  }
  return {len, true};
}

char32_t decode_valid(std::string_view s, size_t i, int len) {
  const auto b = [&](int k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k])); };
  switch (len) {
    case 1: return b(0);
    case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    default:
      return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
}

// Bytes of ASCII starting at i, eight at a time where possible.
size_t ascii_run(std::string_view s, size_t i) {
  const size_t start = i;
  while (i + 8 <= s.size()) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    if (w & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i - start;
}

// The message CPython's UnicodeDecodeError prints for the bad subpart at i.
[[noreturn]] void throw_decode_error(std::string_view s, size_t i, Scan sc) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  const char* reason = !(b0 >= 0xC2 && b0 <= 0xF4)  ? "invalid start byte"
                       : i + sc.len >= s.size()     ? "unexpected end of data"
                                                    : "invalid continuation byte";
  char msg[160];
  if (sc.len == 1)
    std::snprintf(msg, sizeof msg, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s", b0, i, reason);
  else
    std::snprintf(msg, sizeof msg, "'utf-8' codec can't decode bytes in position %zu-%zu: %s", i,
                  i + sc.len - 1, reason);
  throw std::runtime_error(msg);
}

template <class Pred>
std::string_view lstrip_if(std::string_view s, Pred pred) {
  size_t i = 0;
  while (i < s.size()) {
    size_t j = i;
    if (!pred(next(s, j))) break;
    i = j;
  }
  return s.substr(i);
}

// Bytes taken by the code point at s[i]: a whole valid sequence, or the one
// byte that cannot be decoded there.
size_t step(std::string_view s, size_t i) {
  if (static_cast<unsigned char>(s[i]) < 0x80) return 1;
  const Scan sc = scan_sequence(s, i);
  return sc.ok ? static_cast<size_t>(sc.len) : 1;
}

// Start of the code point that ends at byte `end` (exclusive). Every byte that
// does not continue a sequence starts a code point when decoding forwards, so
// the nearest such byte starts the last one if its sequence ends at `end`;
// otherwise the last byte stands alone.
size_t prev_start(std::string_view s, size_t end) {
  size_t i = end - 1;
  while (i > 0 && end - i < 4 && is_cont(static_cast<unsigned char>(s[i]))) --i;
  if (i + 1 == end) return i;
  const Scan sc = scan_sequence(s, i);
  return sc.ok && i + static_cast<size_t>(sc.len) == end ? i : end - 1;
}

template <class Pred>
std::string_view rstrip_if(std::string_view s, Pred pred) {
  size_t end = s.size();
  while (end > 0) {
    size_t i = prev_start(s, end);
    size_t j = i;
    if (!pred(next(s, j))) break;
    end = i;
  }
  return s.substr(0, end);
}

struct CharSet {
  explicit CharSet(std::string_view chars) : chars(chars) {
    for (unsigned char b : chars) ascii_only &= b < 0x80;
  }
  bool operator()(char32_t c) const {
    if (ascii_only) return c < 0x80 && chars.find(static_cast<char>(c)) != std::string_view::npos;
    for (size_t i = 0; i < chars.size();)
      if (next(chars, i) == c) return true;
    return false;
  }
  std::string_view chars;
  bool ascii_only = true;
};

bool is_line_break(char32_t c) {
  return c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || (c >= 0x1C && c <= 0x1E) || c == 0x85 ||
         c == 0x2028 || c == 0x2029;
}

void append_mapped(std::string& out, char32_t c, const char32_t* to) {
  if (!to) {
    append(out, c);
    return;
  }
  for (int k = 0; k < 3 && to[k]; ++k) append(out, to[k]);
}

// Python's Final_Sigma test for the capital sigma occupying s[i, i+2).
bool is_final_sigma(std::string_view s, size_t i) {
  bool cased_before = false;
  for (size_t end = i; end > 0;) {
    const size_t k = prev_start(s, end);
    size_t j = k;
    const uint32_t p = detail::properties(next(s, j));
    if (!(p & kCaseIgnorable)) {
      cased_before = (p & kCased) != 0;
      break;
    }
    end = k;
  }
  if (!cased_before) return false;
  for (size_t j = i + 2; j < s.size();) {
    const uint32_t p = detail::properties(next(s, j));
    if (!(p & kCaseIgnorable)) return !(p & kCased);
  }
  return true;
}

}  // namespace

// ---- decoding -------------------------------------------------------------

std::string decode(std::string_view bytes, Errors errors) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0, valid = 0;  // bytes[valid, i) is valid and not yet copied
  while (i < bytes.size()) {
    i += ascii_run(bytes, i);
    if (i >= bytes.size()) break;
    const Scan sc = scan_sequence(bytes, i);
    if (!sc.ok) {
      if (errors == Errors::Strict) throw_decode_error(bytes, i, sc);
      out.append(bytes.data() + valid, i - valid);
      if (errors == Errors::Replace) out += "\xEF\xBF\xBD";
      valid = i + sc.len;
    }
    i += sc.len;
  }
  out.append(bytes.data() + valid, bytes.size() - valid);
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    i += ascii_run(bytes, i);
    if (i >= bytes.size()) break;
    const Scan sc = scan_sequence(bytes, i);
    if (!sc.ok) return false;
    i += sc.len;
  }
  return true;
}

std::string universal_newlines(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (true) {
    const size_t r = s.find('\r', i);
    if (r == std::string_view::npos) {
      out.append(s.substr(i));
      return out;
    }
    out.append(s.substr(i, r - i));
    out += '\n';
    i = r + 1;
    if (i < s.size() && s[i] == '\n') ++i;
  }
}

std::string_view strip_bom(std::string_view s) {
  return s.starts_with("\xEF\xBB\xBF") ? s.substr(3) : s;
}

std::string backslashreplace(std::string_view s) {
  if (is_valid_utf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 16);
  for (size_t i = 0; i < s.size();) {
    const size_t at = i;
    const char32_t c = next(s, i);
    if (c >= 0xDC80 && c <= 0xDCFF) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(c));
      out += hex;
    } else {
      out.append(s.substr(at, i - at));
    }
  }
  return out;
}

// ---- code points ----------------------------------------------------------

char32_t next(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  // A byte that cannot be decoded is one code point of its own, as Python's
  // surrogateescape decoding makes it.
  const Scan sc = scan_sequence(s, i);
  if (!sc.ok) {
    ++i;
    return 0xDC00 | b0;
  }
  const char32_t c = decode_valid(s, i, sc.len);
  i += sc.len;
  return c;
}

void append(std::string& out, char32_t cp) {
  if (cp >= 0xD800 && cp <= 0xDFFF) {
    // An escaped byte goes back as that byte; any other lone surrogate has no
    // UTF-8 form.
    if (cp >= 0xDC80 && cp <= 0xDCFF)
      out += static_cast<char>(cp & 0xFF);
    else
      out += "\xEF\xBF\xBD";
    return;
  }
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

size_t length(std::string_view s) {
  size_t n = 0, i = 0;
  while (i < s.size()) {
    const size_t run = ascii_run(s, i);
    n += run;
    i += run;
    if (i >= s.size()) break;
    i += step(s, i);
    ++n;
  }
  return n;
}

size_t byte_offset(std::string_view s, size_t cps) {
  size_t i = 0;
  while (i < s.size()) {
    const size_t run = ascii_run(s.substr(0, i + std::min(cps, s.size() - i)), i);
    cps -= run;
    i += run;
    if (cps == 0 || i >= s.size()) return i;
    i += step(s, i);
    --cps;
  }
  return s.size();
}

size_t cp_offset(std::string_view s, size_t bytes) { return length(s.substr(0, bytes)); }

std::string_view head(std::string_view s, size_t n) { return s.substr(0, byte_offset(s, n)); }

std::string_view slice(std::string_view s, std::optional<long long> start, std::optional<long long> stop) {
  const bool negative = (start && *start < 0) || (stop && *stop < 0);
  const long long len = negative ? static_cast<long long>(length(s)) : 0;
  const auto resolve = [&](std::optional<long long> v, long long dflt) -> long long {
    if (!v) return dflt;
    long long x = *v;
    if (x < 0) x = std::max(0LL, x + len);
    return x;
  };
  const long long a = resolve(start, 0);
  const long long b = resolve(stop, -1);  // -1: to the end
  if (b != -1 && a >= b) return {};
  const size_t from = byte_offset(s, static_cast<size_t>(a));
  if (b == -1) return s.substr(from);
  const size_t to = from + byte_offset(s.substr(from), static_cast<size_t>(b - a));
  return s.substr(from, to - from);
}

// ---- character classes ----------------------------------------------------

bool isspace(char32_t c) {
  if (c < 0x80) return is_ascii_space(static_cast<unsigned char>(c));
  return has(c, kSpace);
}
bool isupper(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z';
  return has(c, kUpper);
}
bool islower(char32_t c) {
  if (c < 0x80) return c >= 'a' && c <= 'z';
  return has(c, kLower);
}
bool isalpha(char32_t c) {
  if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  return has(c, kAlpha);
}
bool isdecimal(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  return has(c, kDecimal);
}
bool isdigit(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  return has(c, kDigit);
}
bool isalnum(char32_t c) {
  if (c < 0x80) return isalpha(c) || isdigit(c);
  return has(c, kAlnum);
}
bool isprintable(char32_t c) {
  if (c < 0x80) return c >= 0x20 && c < 0x7F;
  return has(c, kPrintable);
}
bool is_word(char32_t c) { return c == '_' || isalnum(c); }

// ---- transforms -----------------------------------------------------------

// Case mapping shared by lower() and upper(): ASCII runs are mapped in place,
// everything else through `map_one`, which sees the text and the character's
// offset (final sigma depends on its neighbours).
template <class MapOne>
std::string map_case(std::string_view s, char from, char to, MapOne map_one) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const size_t n = ascii_run(s, i);
    const size_t base = out.size();
    out.append(s.data() + i, n);
    for (size_t k = base; k < base + n; ++k) {
      if (out[k] >= from && out[k] <= to) out[k] = static_cast<char>(out[k] ^ 0x20);
    }
    i += n;
    if (i >= s.size()) break;
    const size_t at = i;
    map_one(out, next(s, i), at);
  }
  return out;
}

std::string lower(std::string_view s) {
  return map_case(s, 'A', 'Z', [s](std::string& out, char32_t c, size_t at) {
    if (c == 0x3A3) {
      append(out, is_final_sigma(s, at) ? 0x3C2 : 0x3C3);
    } else {
      append_mapped(out, c, detail::lower_mapping(c));
    }
  });
}

std::string upper(std::string_view s) {
  return map_case(s, 'a', 'z', [](std::string& out, char32_t c, size_t) {
    append_mapped(out, c, detail::upper_mapping(c));
  });
}

std::string_view strip(std::string_view s) { return rstrip(lstrip(s)); }
std::string_view lstrip(std::string_view s) { return lstrip_if(s, [](char32_t c) { return isspace(c); }); }
std::string_view rstrip(std::string_view s) { return rstrip_if(s, [](char32_t c) { return isspace(c); }); }
std::string_view strip(std::string_view s, std::string_view chars) { return rstrip(lstrip(s, chars), chars); }
std::string_view lstrip(std::string_view s, std::string_view chars) { return lstrip_if(s, CharSet(chars)); }
std::string_view rstrip(std::string_view s, std::string_view chars) { return rstrip_if(s, CharSet(chars)); }

std::vector<std::string_view> split(std::string_view s) {
  std::vector<std::string_view> out;
  size_t i = 0;
  size_t word = std::string_view::npos;
  while (i < s.size()) {
    const size_t at = i;
    const auto b = static_cast<unsigned char>(s[i]);
    const bool space = b < 0x80 ? (++i, is_ascii_space(b)) : isspace(next(s, i));
    if (space) {
      if (word != std::string_view::npos) out.push_back(s.substr(word, at - word));
      word = std::string_view::npos;
    } else if (word == std::string_view::npos) {
      word = at;
    }
  }
  if (word != std::string_view::npos) out.push_back(s.substr(word));
  return out;
}

std::vector<std::string_view> split(std::string_view s, std::string_view sep) {
  if (sep.empty()) throw std::invalid_argument("empty separator");
  std::vector<std::string_view> out;
  size_t i = 0;
  while (true) {
    const size_t k = s.find(sep, i);
    if (k == std::string_view::npos) break;
    out.push_back(s.substr(i, k - i));
    i = k + sep.size();
  }
  out.push_back(s.substr(i));
  return out;
}

std::vector<std::string_view> splitlines(std::string_view s) {
  std::vector<std::string_view> out;
  size_t line = 0, i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    // Only these lead bytes can start a line break.
    if (b > 0x1E && b != 0xC2 && b != 0xE2) {
      ++i;
      continue;
    }
    const size_t at = i;
    const char32_t c = next(s, i);
    if (!is_line_break(c)) continue;
    out.push_back(s.substr(line, at - line));
    if (c == '\r' && i < s.size() && s[i] == '\n') ++i;
    line = i;
  }
  if (line < s.size()) out.push_back(s.substr(line));
  return out;
}

namespace {
template <class V>
std::string join_impl(const V& parts, std::string_view sep) {
  size_t n = parts.empty() ? 0 : sep.size() * (parts.size() - 1);
  for (const auto& p : parts) n += p.size();
  std::string out;
  out.reserve(n);
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k) out.append(sep);
    out.append(parts[k]);
  }
  return out;
}
}  // namespace

std::string join(const std::vector<std::string_view>& parts, std::string_view sep) {
  return join_impl(parts, sep);
}
std::string join(const std::vector<std::string>& parts, std::string_view sep) { return join_impl(parts, sep); }

std::string replace(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  if (from.empty()) {
    // Python inserts `to` around every character.
    out.reserve(s.size() + (length(s) + 1) * to.size());
    out.append(to);
    for (size_t i = 0; i < s.size();) {
      const size_t at = i;
      next(s, i);
      out.append(s.substr(at, i - at));
      out.append(to);
    }
    return out;
  }
  out.reserve(s.size());
  size_t i = 0;
  while (true) {
    const size_t k = s.find(from, i);
    if (k == std::string_view::npos) break;
    out.append(s.substr(i, k - i));
    out.append(to);
    i = k + from.size();
  }
  out.append(s.substr(i));
  return out;
}

int compare(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  size_t m = 0;
  while (m < n && a[m] == b[m]) ++m;
  const auto byte = [](std::string_view s, size_t i) { return static_cast<unsigned char>(s[i]); };
  // Where the shared prefix ends after ASCII, bytes order as code points do.
  if (m == 0 || byte(a, m - 1) < 0x80) {
    if (m == n) return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    if (byte(a, m) < 0x80 && byte(b, m) < 0x80) return byte(a, m) < byte(b, m) ? -1 : 1;
  }
  // Decode both from the start of the code point holding the first
  // difference: the nearest byte before it that continues no sequence (the
  // prefix is shared, and every such byte starts a code point).
  size_t k = m;
  for (size_t back = 1; back <= 3 && back <= m; ++back) {
    if (!is_cont(byte(a, m - back))) {
      k = m - back;
      break;
    }
  }
  size_t i = k, j = k;
  while (i < a.size() && j < b.size()) {
    const char32_t x = next(a, i), y = next(b, j);
    if (x != y) return x < y ? -1 : 1;
  }
  return i < a.size() ? 1 : j < b.size() ? -1 : 0;
}

namespace {

// Whether a code point of `s` starts at byte p (or p is an end).
bool is_boundary(std::string_view s, size_t p) {
  if (p == 0 || p >= s.size() || !is_cont(static_cast<unsigned char>(s[p]))) return true;
  for (size_t back = 1; back <= 3 && back <= p; ++back) {
    const size_t k = p - back;
    if (is_cont(static_cast<unsigned char>(s[k]))) continue;
    const Scan sc = scan_sequence(s, k);
    return !(sc.ok && k + static_cast<size_t>(sc.len) > p);
  }
  return true;
}

// str.find: a byte match is a match of code points, except for a needle that
// is not valid UTF-8, whose match must also lie on code point boundaries
// ('\udcc3' is not in 'é', though its byte is).
size_t find_cp(std::string_view s, std::string_view needle, size_t from, bool needle_valid) {
  for (size_t k = s.find(needle, from); k != std::string_view::npos; k = s.find(needle, k + 1)) {
    if (needle_valid || (is_boundary(s, k) && is_boundary(s, k + needle.size()))) return k;
  }
  return std::string_view::npos;
}

}  // namespace

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.starts_with(prefix) && (is_valid_utf8(prefix) || is_boundary(s, prefix.size()));
}
bool ends_with(std::string_view s, std::string_view suffix) {
  return s.ends_with(suffix) && (is_valid_utf8(suffix) || is_boundary(s, s.size() - suffix.size()));
}
bool contains(std::string_view s, std::string_view needle) {
  return find_cp(s, needle, 0, is_valid_utf8(needle)) != std::string_view::npos;
}

size_t count(std::string_view s, std::string_view needle) {
  if (needle.empty()) return length(s) + 1;
  const bool valid = is_valid_utf8(needle);
  size_t n = 0;
  for (size_t i = find_cp(s, needle, 0, valid); i != std::string_view::npos;
       i = find_cp(s, needle, i + needle.size(), valid))
    ++n;
  return n;
}

// ---- numbers --------------------------------------------------------------

long long round_half_even(double x) {
  if (std::isnan(x)) throw std::domain_error("cannot convert float NaN to integer");
  if (std::isinf(x)) throw std::overflow_error("cannot convert float infinity to integer");
  const double r = std::nearbyint(x);  // the default rounding mode ties to even
  if (r >= 9223372036854775808.0 || r < -9223372036854775808.0)
    throw std::overflow_error("integer too large for long long");
  return static_cast<long long>(r);
}

std::string format_fixed(double x, int decimals) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  if (decimals < 0) decimals = 0;
  // 309 integer digits at most, plus sign, point and the decimals.
  std::string out(320 + static_cast<size_t>(decimals), '\0');
  const auto r = std::to_chars(out.data(), out.data() + out.size(), x, std::chars_format::fixed, decimals);
  out.resize(static_cast<size_t>(r.ptr - out.data()));
  return out;
}

}  // namespace kestrune::text
