// json.loads without SIMD: a scanner that accepts exactly what Python
// accepts (NaN, Infinity, integers of any size, lone surrogate escapes) and
// reports failures with Python's JSONDecodeError text and positions. It is
// the reader's fallback, and the whole reader of commands that link no
// simdjson.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kestrune/base/json.h"
#include "kestrune/base/json_exact.h"
#include "kestrune/base/text.h"

namespace kestrune::json {

namespace {

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {}

  Value document() {
    size_t i = skip_ws(0);
    Value v = value_at(i);
    i = skip_ws(i);
    if (i != s_.size()) fail("Extra data", i);
    return v;
  }

 private:
  // A container under construction; `key` is the member whose value comes next.
  struct Frame {
    Value container;
    std::string key;
    bool is_object;
  };

  [[noreturn]] void fail(const char* msg, size_t byte_pos) const {
    // Python counts code points (an undecodable byte is one).
    const std::string_view before = s_.substr(0, std::min(byte_pos, s_.size()));
    const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
    const size_t last_nl = before.rfind('\n');
    const size_t pos = text::length(before);
    const size_t line_start = last_nl == std::string_view::npos ? 0 : text::length(before.substr(0, last_nl + 1));
    size_t col = pos - line_start + 1;
    throw ParseError(std::string(msg) + ": line " + std::to_string(line) + " column " +
                         std::to_string(col) + " (char " + std::to_string(pos) + ")",
                     pos);
  }

  size_t skip_ws(size_t i) const {
    while (i < s_.size() && is_ws(s_[i])) ++i;
    return i;
  }

  bool at(size_t i, char c) const { return i < s_.size() && s_[i] == c; }

  // Parses the value starting at s_[i] (no leading whitespace), leaving `i`
  // just past it. Containers are built on an explicit stack, so depth costs
  // heap, not C++ stack.
  Value value_at(size_t& i) {
    std::vector<Frame> stack;
    Value done;
    for (;;) {
      // Begin a value at i.
      bool produced = false;
      if (at(i, '[') || at(i, '{')) {
        if (stack.size() >= MAX_DEPTH) fail("maximum nesting depth exceeded", i);
        bool obj = s_[i] == '{';
        i = skip_ws(i + 1);
        if (obj) {
          if (at(i, '}')) {
            ++i;
            done = Value(Object());
            produced = true;
          } else {
            stack.push_back(Frame{Value(Object()), key_and_colon(i), true});
          }
        } else if (at(i, ']')) {
          ++i;
          done = Value(Array());
          produced = true;
        } else {
          stack.push_back(Frame{Value(Array()), {}, false});
        }
      } else {
        done = scalar(i);
        produced = true;
      }
      if (!produced) continue;

      // Attach finished values to their parents, closing containers as their
      // brackets come, until a new value has to begin.
      for (;;) {
        if (stack.empty()) return done;
        Frame& top = stack.back();
        if (top.is_object)
          top.container.as_object().set(std::move(top.key), std::move(done));
        else
          top.container.as_array().push_back(std::move(done));
        i = skip_ws(i);
        char close = top.is_object ? '}' : ']';
        if (at(i, close)) {
          ++i;
          done = std::move(top.container);
          stack.pop_back();
          continue;
        }
        if (!at(i, ',')) fail("Expecting ',' delimiter", i);
        i = skip_ws(i + 1);
        if (top.is_object) {
          top.key = key_and_colon(i);
        }
        break;
      }
    }
  }

  // At a member name: reads it and the ':' and leaves i at the value.
  std::string key_and_colon(size_t& i) {
    if (!at(i, '"')) fail("Expecting property name enclosed in double quotes", i);
    std::string key = string_at(i);
    i = skip_ws(i);
    if (!at(i, ':')) fail("Expecting ':' delimiter", i);
    i = skip_ws(i + 1);
    return key;
  }

  bool literal(size_t i, std::string_view word) const {
    return s_.substr(i, word.size()) == word;
  }

  Value scalar(size_t& i) {
    if (i >= s_.size()) fail("Expecting value", i);
    switch (s_[i]) {
      case '"': return Value(string_at(i));
      case 'n':
        if (literal(i, "null")) return (i += 4, Value());
        break;
      case 't':
        if (literal(i, "true")) return (i += 4, Value(true));
        break;
      case 'f':
        if (literal(i, "false")) return (i += 5, Value(false));
        break;
      case 'N':
        if (literal(i, "NaN")) return (i += 3, Value(std::numeric_limits<double>::quiet_NaN()));
        break;
      case 'I':
        if (literal(i, "Infinity"))
          return (i += 8, Value(std::numeric_limits<double>::infinity()));
        break;
      case '-':
        if (literal(i, "-Infinity"))
          return (i += 9, Value(-std::numeric_limits<double>::infinity()));
        return number(i);
      default:
        if (is_digit(s_[i])) return number(i);
    }
    fail("Expecting value", i);
  }

  // -?(0|[1-9]\d*)(\.\d+)?([eE][-+]?\d+)? ; ints are exact, the rest float().
  Value number(size_t& i) {
    const size_t start = i;
    size_t k = i;
    if (at(k, '-')) ++k;
    if (at(k, '0')) {
      ++k;
    } else if (k < s_.size() && is_digit(s_[k])) {
      while (k < s_.size() && is_digit(s_[k])) ++k;
    } else {
      fail("Expecting value", start);
    }
    const size_t int_end = k;
    bool is_float = false;
    if (at(k, '.') && k + 1 < s_.size() && is_digit(s_[k + 1])) {
      is_float = true;
      k += 2;
      while (k < s_.size() && is_digit(s_[k])) ++k;
    }
    if (at(k, 'e') || at(k, 'E')) {
      size_t e = k + 1;
      if (at(e, '+') || at(e, '-')) ++e;
      if (e < s_.size() && is_digit(s_[e])) {
        is_float = true;
        while (e < s_.size() && is_digit(s_[e])) ++e;
        k = e;
      }
    }
    i = k;
    std::string_view text = s_.substr(start, k - start);
    if (!is_float) {
      long long v = 0;
      auto r = std::from_chars(text.data(), text.data() + text.size(), v);
      if (r.ec == std::errc()) return Value(v);
      return Value(BigInt{std::string(text)});
    }
    double d = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), d);
    if (r.ec == std::errc::result_out_of_range) d = out_of_range(text, int_end - start);
    return Value(d);
  }

  // float() of a literal beyond double's range: +-inf when it is large, +-0.0
  // when it is tiny. The decimal exponent of the leading digit decides.
  static double out_of_range(std::string_view text, size_t int_len) {
    bool neg = text.front() == '-';
    size_t p = neg ? 1 : 0;
    long long magnitude;
    if (text.substr(p, int_len - p) != "0") {
      magnitude = static_cast<long long>(int_len - p);
    } else {
      size_t q = int_len + 1, zeros = 0;  // past "0."
      while (q < text.size() && text[q] == '0') ++q, ++zeros;
      magnitude = -static_cast<long long>(zeros);
    }
    size_t e = text.find_first_of("eE");
    if (e != std::string_view::npos) {
      bool eneg = text[e + 1] == '-';
      long long ev = 0;
      for (size_t q = e + 1; q < text.size(); ++q)
        if (is_digit(text[q])) ev = std::min<long long>(ev * 10 + (text[q] - '0'), 1LL << 40);
      magnitude += eneg ? -ev : ev;
    }
    double r = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return neg ? -r : r;
  }

  // The string whose opening quote is at s_[i]; leaves i past the closing quote.
  std::string string_at(size_t& i) {
    const size_t begin = i;
    size_t k = i + 1;
    std::string out;
    std::vector<size_t> escaped;  // where \udc80..\udcff escapes put their byte
    for (;;) {
      size_t run = k;
      while (run < s_.size()) {
        unsigned char c = static_cast<unsigned char>(s_[run]);
        if (c == '"' || c == '\\') break;
        if (c <= 0x1F) fail("Invalid control character at", run);
        ++run;
      }
      if (run >= s_.size()) fail("Unterminated string starting at", begin);
      out.append(s_.data() + k, run - k);
      if (s_[run] == '"') {
        i = run + 1;
        break;
      }
      size_t next = run + 1;  // the escape letter
      if (next >= s_.size()) fail("Unterminated string starting at", begin);
      char c = s_[next];
      if (c != 'u') {
        char decoded;
        switch (c) {
          case '"': decoded = '"'; break;
          case '\\': decoded = '\\'; break;
          case '/': decoded = '/'; break;
          case 'b': decoded = '\b'; break;
          case 'f': decoded = '\f'; break;
          case 'n': decoded = '\n'; break;
          case 'r': decoded = '\r'; break;
          case 't': decoded = '\t'; break;
          default: fail("Invalid \\escape", run);
        }
        out += decoded;
        k = next + 1;
        continue;
      }
      size_t hex = next + 1;
      // Python insists on room for the four digits and a closing quote.
      if (hex + 4 >= s_.size()) fail("Invalid \\uXXXX escape", next);
      char32_t cp = hex4(hex, next);
      k = hex + 4;
      if (cp >= 0xD800 && cp <= 0xDBFF && k + 6 < s_.size() && s_[k] == '\\' &&
          s_[k + 1] == 'u') {
        char32_t low = hex4(k + 2, k + 1);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          k += 6;
        }
      }
      // Python keeps a lone surrogate in its str. U+DC80..U+DCFF is how it
      // carries a byte of a name that is not UTF-8 (an id written by a scan),
      // so that one is the byte again; any other becomes U+FFFD.
      if (cp >= 0xDC80 && cp <= 0xDCFF) escaped.push_back(out.size());
      text::append(out, cp);
    }
    // Undecodable bytes in the text itself stay as they are: the text is a
    // str whose lone surrogates are carried as bytes, like an argument's.
    if (!escaped.empty()) keep_escapes_apart(out, escaped);
    return out;
  }

  // Escaped bytes that spell a valid sequence together ("\udcc3\udca9" is
  // not "\u00e9" in Python) cannot be carried as bytes: such a string keeps
  // each of its escapes as U+FFFD, like any other lone surrogate.
  static void keep_escapes_apart(std::string& out, const std::vector<size_t>& escaped) {
    size_t i = 0;
    bool apart = true;
    for (size_t at : escaped) {
      while (i < at) text::next(out, i);
      size_t j = i;
      if (i != at || (text::next(out, j), j != at + 1)) {  // not a code point of its own
        apart = false;
        break;
      }
    }
    if (apart) return;
    std::string fixed;
    size_t from = 0;
    for (size_t at : escaped) {
      fixed.append(out, from, at - from);
      fixed += "\xEF\xBF\xBD";
      from = at + 1;
    }
    fixed.append(out, from);
    out = std::move(fixed);
  }

  char32_t hex4(size_t p, size_t u_pos) const {
    char32_t v = 0;
    for (size_t q = p; q < p + 4; ++q) {
      int h = hex_value(s_[q]);
      if (h < 0) fail("Invalid \\uXXXX escape", u_pos);
      v = (v << 4) | static_cast<char32_t>(h);
    }
    return v;
  }

  std::string_view s_;
};

}  // namespace

Value parse_exact(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF")
    throw ParseError("Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)", 0);
  return Scanner(text).document();
}

}  // namespace kestrune::json
