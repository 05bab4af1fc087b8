// JSON writing byte-identical to Python's json.dumps, and Python's str()/repr()
// of decoded values.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "kestrune/base/json.h"
#include "kestrune/base/text.h"

namespace kestrune::json {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Decodes one UTF-8 sequence at s[i] without trusting the input: a byte that
// cannot be decoded there is consumed alone and yields U+DC00 plus the byte,
// the lone surrogate Python's surrogateescape decoding makes of it (a name
// from the file system written as json.dumps writes os.fsdecode's str).
char32_t next_cp(std::string_view s, size_t& i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned c = b(i);
  const char32_t escaped = 0xDC00 | c;
  size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  if (n == 1 || c > 0xF4 || c < 0xC2 || i + n > s.size()) {
    ++i;
    return c < 0x80 ? c : escaped;
  }
  char32_t cp = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    unsigned t = b(i + k);
    if ((t & 0xC0) != 0x80) {
      ++i;
      return escaped;
    }
    cp = (cp << 6) | (t & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return escaped;
  }
  i += n;
  return cp;
}

void put_u4(std::string& out, unsigned v) {
  char buf[6] = {'\\', 'u', kHex[(v >> 12) & 15], kHex[(v >> 8) & 15], kHex[(v >> 4) & 15],
                 kHex[v & 15]};
  out.append(buf, 6);
}

// Bytes that json.dumps copies unchanged: printable ASCII except '"' and '\\';
// without ensure_ascii also DEL and everything non-ASCII.
struct SafeTable {
  bool ascii[256];
  bool utf8[256];
  constexpr SafeTable() : ascii(), utf8() {
    for (int c = 0; c < 256; ++c) {
      bool printable = c >= 0x20 && c != '"' && c != '\\';
      ascii[c] = printable && c < 0x7F;
      utf8[c] = printable;
    }
  }
};
constexpr SafeTable kSafe;

// Whether all eight bytes are printable ASCII other than '"' and '\\': what
// ensure_ascii output copies unchanged. Texts are mostly such runs, and eight
// bytes are tested in about the time one is looked up.
bool plain_ascii8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  constexpr uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
  const auto has_zero = [](uint64_t x) { return ((x - kOnes) & ~x & kHigh) != 0; };
  if (w & kHigh) return false;                                       // 0x80 and above
  if (((w - kOnes * 0x20) & ~w & kHigh) != 0) return false;           // below 0x20
  return !has_zero(w ^ (kOnes * '"')) && !has_zero(w ^ (kOnes * '\\')) && !has_zero(w ^ (kOnes * 0x7F));
}

void append_escaped(std::string& out, std::string_view s, bool ensure_ascii) {
  const bool* safe = ensure_ascii ? kSafe.ascii : kSafe.utf8;
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    size_t run = i;
    if (ensure_ascii)
      while (run + 8 <= n && plain_ascii8(s.data() + run)) run += 8;
    while (run < n && safe[static_cast<unsigned char>(s[run])]) ++run;
    out.append(s.data() + i, run - i);
    i = run;
    if (i >= n) break;
    unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      case '\b': out += "\\b"; ++i; continue;
      case '\f': out += "\\f"; ++i; continue;
      default: break;
    }
    if (c < 0x80) {
      put_u4(out, c);
      ++i;
      continue;
    }
    char32_t cp = next_cp(s, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put_u4(out, 0xD800 | (cp >> 10));
      put_u4(out, 0xDC00 | (cp & 0x3FF));
    } else {
      put_u4(out, cp);
    }
  }
}

void append_float_repr(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "nan";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-inf" : "inf";
    return;
  }
  // Shortest round-trip digits, then laid out as Python's repr does:
  // positional for exponents -4..15, otherwise d.ddde+XX.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  size_t e_pos = sci.find('e');
  std::string_view mant = sci.substr(0, e_pos);
  int exp = 0;
  std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+'), sci.data() + sci.size(), exp);
  bool neg = mant.front() == '-';
  if (neg) mant.remove_prefix(1);
  char digits[32];
  size_t nd = 0;
  for (char c : mant)
    if (c != '.') digits[nd++] = c;
  if (neg) out += '-';
  if (exp < -4 || exp >= 16) {
    out += digits[0];
    if (nd > 1) {
      out += '.';
      out.append(digits + 1, nd - 1);
    }
    out += 'e';
    out += exp < 0 ? '-' : '+';
    int a = exp < 0 ? -exp : exp;
    if (a < 10) out += '0';
    out += std::to_string(a);
  } else if (exp < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out.append(digits, nd);
  } else {
    size_t int_digits = static_cast<size_t>(exp) + 1;
    if (nd <= int_digits) {
      out.append(digits, nd);
      out.append(int_digits - nd, '0');
      out += ".0";
    } else {
      out.append(digits, int_digits);
      out += '.';
      out.append(digits + int_digits, nd - int_digits);
    }
  }
}

void append_int(std::string& out, int64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

class Writer {
 public:
  Writer(std::string& out, const DumpOptions& opt) : out_(out), opt_(opt) {}

  void value(const Value& v, int level) {
    switch (v.type()) {
      case Value::Type::Null: out_ += "null"; return;
      case Value::Type::Bool: out_ += v.as_bool() ? "true" : "false"; return;
      case Value::Type::Int: append_int(out_, v.as_int()); return;
      case Value::Type::BigInt: out_ += v.as_bigint().digits; return;
      case Value::Type::Float: {
        double d = v.as_double();
        if (std::isnan(d))
          out_ += "NaN";
        else if (std::isinf(d))
          out_ += d < 0 ? "-Infinity" : "Infinity";
        else
          append_float_repr(out_, d);
        return;
      }
      case Value::Type::String: dump_string(out_, v.as_string(), opt_.ensure_ascii); return;
      case Value::Type::Array: array(v.as_array(), level); return;
      case Value::Type::Object: object(v.as_object(), level); return;
    }
  }

 private:
  void newline(int level) {
    out_ += '\n';
    out_.append(static_cast<size_t>(level) * static_cast<size_t>(opt_.indent), ' ');
  }

  void array(const Array& a, int level) {
    if (a.empty()) {
      out_ += "[]";
      return;
    }
    out_ += '[';
    bool first = true;
    for (const Value& item : a) {
      separator(first, level + 1);
      value(item, level + 1);
    }
    close(level, ']');
  }

  void object(const Object& o, int level) {
    if (o.empty()) {
      out_ += "{}";
      return;
    }
    out_ += '{';
    bool first = true;
    for (const Member& m : o) {
      separator(first, level + 1);
      dump_string(out_, m.key, opt_.ensure_ascii);
      out_ += ": ";
      value(m.value, level + 1);
    }
    close(level, '}');
  }

  void separator(bool& first, int level) {
    if (opt_.indent >= 0) {
      if (!first) out_ += ',';
      newline(level);
    } else if (!first) {
      out_ += ", ";
    }
    first = false;
  }

  void close(int level, char bracket) {
    if (opt_.indent >= 0) newline(level);
    out_ += bracket;
  }

  std::string& out_;
  const DumpOptions& opt_;
};

// ---- Python repr ----------------------------------------------------------------

void append_str_repr(std::string& out, std::string_view s) {
  bool has_single = s.find('\'') != std::string_view::npos;
  bool has_double = s.find('"') != std::string_view::npos;
  char quote = has_single && !has_double ? '"' : '\'';
  out += quote;
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      if (c == quote || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c == '\t') {
        out += "\\t";
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else if (c < 0x20 || c == 0x7F) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
      } else {
        out += static_cast<char>(c);
      }
      continue;
    }
    size_t start = i;
    char32_t cp = next_cp(s, i);
    if (text::isprintable(cp)) {
      out.append(s.data() + start, i - start);
    } else if (cp < 0x100) {
      out += "\\x";
      out += kHex[cp >> 4];
      out += kHex[cp & 15];
    } else if (cp < 0x10000) {
      put_u4(out, static_cast<unsigned>(cp));
    } else {
      out += "\\U";
      for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 15];
    }
  }
  out += quote;
}

void append_repr(std::string& out, const Value& v) {
  switch (v.type()) {
    case Value::Type::Null: out += "None"; return;
    case Value::Type::Bool: out += v.as_bool() ? "True" : "False"; return;
    case Value::Type::Int: append_int(out, v.as_int()); return;
    case Value::Type::BigInt: out += v.as_bigint().digits; return;
    case Value::Type::Float: append_float_repr(out, v.as_double()); return;
    case Value::Type::String: append_str_repr(out, v.as_string()); return;
    case Value::Type::Array: {
      out += '[';
      bool first = true;
      for (const Value& item : v.as_array()) {
        if (!first) out += ", ";
        first = false;
        append_repr(out, item);
      }
      out += ']';
      return;
    }
    case Value::Type::Object: {
      out += '{';
      bool first = true;
      for (const Member& m : v.as_object()) {
        if (!first) out += ", ";
        first = false;
        append_str_repr(out, m.key);
        out += ": ";
        append_repr(out, m.value);
      }
      out += '}';
      return;
    }
  }
}

}  // namespace

void dump_string(std::string& out, std::string_view s, bool ensure_ascii) {
  out += '"';
  append_escaped(out, s, ensure_ascii);
  out += '"';
}

void dump_to(std::string& out, const Value& v, const DumpOptions& opt) {
  Writer(out, opt).value(v, 0);
}

std::string dumps(const Value& v, const DumpOptions& opt) {
  std::string out;
  dump_to(out, v, opt);
  return out;
}

std::string float_repr(double d) {
  std::string out;
  append_float_repr(out, d);
  return out;
}

std::string py_str(const Value& v) {
  if (v.is_string()) return v.as_string();
  std::string out;
  append_repr(out, v);
  return out;
}

std::string py_repr(const Value& v) {
  std::string out;
  append_repr(out, v);
  return out;
}

}  // namespace kestrune::json
