// Python's int() of a str or of a JSON value: the grammar Python accepts for
// base 10 (blanks around, one sign, Unicode decimal digits, single underscores
// between digits, at most 4300 digits) and integers of any size, so that
// token totals are summed exactly, as Python sums them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/json.h"

namespace kestrune::pyint {

// unicodedata.decimal(c, -1): 0..9 for a character of category Nd, -1 otherwise.
int decimal_value(char32_t c);

// A signed integer of any size.
class BigInt {
 public:
  BigInt() = default;
  BigInt(long long v);
  // Decimal digits with an optional leading "-" (already validated).
  static BigInt from_decimal(std::string_view digits);
  // int(d) for a finite double: truncated toward zero, exact.
  static BigInt from_double(double d);

  BigInt& operator+=(const BigInt& o);
  bool operator==(const BigInt& o) const = default;
  std::string str() const;
  // The value as JSON: an Int when it fits in int64, a json::BigInt otherwise.
  json::Value to_json() const;
  // Clamped to the range of long long.
  long long saturated() const;

 private:
  static constexpr uint32_t kBase = 1000000000;
  void mul_small(uint32_t m, uint32_t add = 0);
  void trim();
  bool neg_ = false;
  std::vector<uint32_t> limbs_;  // little-endian base 1e9 magnitude; empty is zero
};

// The ValueError/TypeError/OverflowError text Python would give, as what().
struct IntConversionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// int(s).
BigInt int_from_string(std::string_view s);
// int(v) for a JSON value: integers, booleans, finite floats (truncated), numeric strings.
BigInt int_from_json(const json::Value& v);

}  // namespace kestrune::pyint
