#include "kestrune/base/pyint.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "kestrune/base/text.h"

namespace kestrune::pyint {
namespace {

// Compares magnitudes: <0, 0, >0.
int cmp_mag(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = a.size(); i-- > 0;)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

// Python's own blanks for int(): the ASCII ones it skips around the digits
// (not \x1c..\x1f, which str.isspace() counts).
bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Python refuses to convert longer digit strings (sys.int_info.default_max_str_digits).
constexpr size_t kMaxStrDigits = 4300;

}  // namespace

// Nd characters come in runs of ten starting at zero (the 50 mathematical
// digits are five such runs back to back), so the value is the position
// within the run.
int decimal_value(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9' ? static_cast<int>(c - '0') : -1;
  if (!text::isdecimal(c)) return -1;
  int run = 0;
  while (text::isdecimal(c - run - 1)) ++run;
  return run % 10;
}

BigInt::BigInt(long long v) {
  neg_ = v < 0;
  unsigned long long m = neg_ ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  while (m) {
    limbs_.push_back(static_cast<uint32_t>(m % kBase));
    m /= kBase;
  }
}

void BigInt::mul_small(uint32_t m, uint32_t add) {
  uint64_t carry = add;
  for (auto& limb : limbs_) {
    uint64_t cur = static_cast<uint64_t>(limb) * m + carry;
    limb = static_cast<uint32_t>(cur % kBase);
    carry = cur / kBase;
  }
  while (carry) {
    limbs_.push_back(static_cast<uint32_t>(carry % kBase));
    carry /= kBase;
  }
}

void BigInt::trim() {
  while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
  if (limbs_.empty()) neg_ = false;
}

BigInt BigInt::from_decimal(std::string_view digits) {
  BigInt b;
  bool neg = !digits.empty() && digits[0] == '-';
  if (neg) digits.remove_prefix(1);
  for (char c : digits) b.mul_small(10, static_cast<uint32_t>(c - '0'));
  b.neg_ = neg;
  b.trim();
  return b;
}

BigInt BigInt::from_double(double d) {
  d = std::trunc(d);
  if (std::fabs(d) < 9.2e18) return BigInt(static_cast<long long>(d));
  int exp = 0;
  double frac = std::frexp(std::fabs(d), &exp);  // |d| = frac * 2^exp, exp > 53 here
  BigInt b(static_cast<long long>(std::ldexp(frac, 53)));
  for (int i = 0; i < exp - 53; ++i) b.mul_small(2);
  b.neg_ = d < 0;
  return b;
}

BigInt& BigInt::operator+=(const BigInt& o) {
  if (neg_ == o.neg_) {
    uint32_t carry = 0;
    limbs_.resize(std::max(limbs_.size(), o.limbs_.size()), 0);
    for (size_t i = 0; i < limbs_.size(); ++i) {
      uint64_t cur = static_cast<uint64_t>(limbs_[i]) + (i < o.limbs_.size() ? o.limbs_[i] : 0) + carry;
      limbs_[i] = static_cast<uint32_t>(cur % kBase);
      carry = static_cast<uint32_t>(cur / kBase);
    }
    if (carry) limbs_.push_back(carry);
    return *this;
  }
  // Opposite signs: subtract the smaller magnitude from the larger.
  const bool self_larger = cmp_mag(limbs_, o.limbs_) >= 0;
  std::vector<uint32_t> big = self_larger ? limbs_ : o.limbs_;
  const std::vector<uint32_t>& small = self_larger ? o.limbs_ : limbs_;
  int64_t borrow = 0;
  for (size_t i = 0; i < big.size(); ++i) {
    int64_t cur = static_cast<int64_t>(big[i]) - (i < small.size() ? small[i] : 0) - borrow;
    borrow = cur < 0;
    big[i] = static_cast<uint32_t>(cur < 0 ? cur + kBase : cur);
  }
  neg_ = self_larger ? neg_ : o.neg_;
  limbs_ = std::move(big);
  trim();
  return *this;
}

std::string BigInt::str() const {
  if (limbs_.empty()) return "0";
  std::string out = neg_ ? "-" : "";
  out += std::to_string(limbs_.back());
  for (size_t i = limbs_.size() - 1; i-- > 0;) {
    std::string part = std::to_string(limbs_[i]);
    out.append(9 - part.size(), '0').append(part);
  }
  return out;
}

long long BigInt::saturated() const {
  if (limbs_.size() > 3) return neg_ ? LLONG_MIN : LLONG_MAX;
  __int128 m = 0;
  for (size_t i = limbs_.size(); i-- > 0;) m = m * kBase + limbs_[i];
  if (neg_) m = -m;
  if (m > LLONG_MAX) return LLONG_MAX;
  if (m < LLONG_MIN) return LLONG_MIN;
  return static_cast<long long>(m);
}

json::Value BigInt::to_json() const {
  long long v = saturated();
  if (v != LLONG_MAX && v != LLONG_MIN) return v;
  std::string s = str();
  if (s == std::to_string(v)) return v;
  return json::BigInt{s};
}

BigInt int_from_string(std::string_view s) {
  auto invalid = [&] {
    // Python cuts the repr in this message to 200 characters.
    return IntConversionError("invalid literal for int() with base 10: " +
                              std::string(text::head(json::py_repr(json::Value(s)), 200)));
  };
  // Python reads an ASCII form of the text: ASCII kept, other blanks as ' ',
  // other decimal digits as theirs, and anything else ends the text at a
  // character nothing accepts.
  std::string ascii;
  ascii.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const char32_t c = text::next(s, i);
    if (c < 0x7F) {
      ascii += static_cast<char>(c);
    } else if (text::isspace(c)) {
      ascii += ' ';
    } else if (const int d = decimal_value(c); d >= 0) {
      ascii += static_cast<char>('0' + d);
    } else {
      ascii += '?';
      break;
    }
  }
  // Then its C parser, in its order: the digit count is refused before
  // whatever follows the digits is looked at.
  size_t i = 0;
  const size_t n = ascii.size();
  while (i < n && is_c_space(ascii[i])) ++i;
  std::string digits;
  if (i < n && (ascii[i] == '+' || ascii[i] == '-')) {
    if (ascii[i] == '-') digits = "-";
    ++i;
  }
  if (i < n && ascii[i] == '_') throw invalid();
  size_t count = 0;
  char prev = 0;
  for (; i < n && ((ascii[i] >= '0' && ascii[i] <= '9') || ascii[i] == '_'); prev = ascii[i++]) {
    if (ascii[i] == '_') {
      if (prev == '_') throw invalid();
    } else {
      digits += ascii[i];
      ++count;
    }
  }
  if (prev == '_') throw invalid();
  if (count > kMaxStrDigits)
    throw IntConversionError("Exceeds the limit (4300 digits) for integer string conversion: value has " +
                             std::to_string(count) + " digits; use sys.set_int_max_str_digits() to increase the limit");
  if (count == 0) throw invalid();
  while (i < n && is_c_space(ascii[i])) ++i;
  if (i != n) throw invalid();
  return BigInt::from_decimal(digits);
}

BigInt int_from_json(const json::Value& v) {
  switch (v.type()) {
    case json::Value::Type::Bool:
      return BigInt(v.as_bool() ? 1 : 0);
    case json::Value::Type::Int:
      return BigInt(static_cast<long long>(v.as_int()));
    case json::Value::Type::BigInt:
      return BigInt::from_decimal(v.as_bigint().digits);
    case json::Value::Type::Float: {
      double d = v.as_double();
      if (std::isnan(d)) throw IntConversionError("cannot convert float NaN to integer");
      if (std::isinf(d)) throw IntConversionError("cannot convert float infinity to integer");
      return BigInt::from_double(d);
    }
    case json::Value::Type::String:
      return int_from_string(v.as_string());
    case json::Value::Type::Null:
      throw IntConversionError(
          "int() argument must be a string, a bytes-like object or a real number, not 'NoneType'");
    case json::Value::Type::Array:
      throw IntConversionError(
          "int() argument must be a string, a bytes-like object or a real number, not 'list'");
    case json::Value::Type::Object:
      throw IntConversionError(
          "int() argument must be a string, a bytes-like object or a real number, not 'dict'");
  }
  throw IntConversionError("int() argument of unknown type");
}

}  // namespace kestrune::pyint
