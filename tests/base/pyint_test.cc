#include "kestrune/base/pyint.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::pyint {
namespace {

using namespace std::string_literals;

std::string int_or_error(std::string_view s) {
  try {
    return int_from_string(s).str();
  } catch (const IntConversionError& e) {
    return "E: "s + e.what();
  }
}

// Answers of python3.11's int(s), pinned.
TEST(PyInt, FromStringAsPythonReadsIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"0", "0"},
      {"-0", "0"},
      {"+7", "7"},
      {" -1_000 ", "-1000"},
      {"007", "7"},
      {"0_0", "0"},
      {"\u0663_\u0664", "34"},
      {"\uff11\uff12", "12"},
      {"\U0001d7cf\U0001d7d0", "12"},
      {"\u0e51\u0e50", "10"},
      {"\t\n\v\f\r 5 \r\n", "5"},
      {"\u00855\u0085", "5"},
      {"\u00a0\u2000\u300042\u2028\u2029\u202f\u205f", "42"},
      {"9223372036854775808", "9223372036854775808"},
      {"-9223372036854775809", "-9223372036854775809"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"", "E: invalid literal for int() with base 10: ''"},
      {" ", "E: invalid literal for int() with base 10: ' '"},
      {"-", "E: invalid literal for int() with base 10: '-'"},
      {"+-1", "E: invalid literal for int() with base 10: '+-1'"},
      {"- 1", "E: invalid literal for int() with base 10: '- 1'"},
      {"_1", "E: invalid literal for int() with base 10: '_1'"},
      {"+_1", "E: invalid literal for int() with base 10: '+_1'"},
      {"1_", "E: invalid literal for int() with base 10: '1_'"},
      {"1_ ", "E: invalid literal for int() with base 10: '1_ '"},
      {"1__0", "E: invalid literal for int() with base 10: '1__0'"},
      {"1 2", "E: invalid literal for int() with base 10: '1 2'"},
      {"1.5", "E: invalid literal for int() with base 10: '1.5'"},
      {"0x10", "E: invalid literal for int() with base 10: '0x10'"},
      {"1\u00b2", "E: invalid literal for int() with base 10: '1\u00b2'"},  // a digit, not a decimal
      {"\u216b", "E: invalid literal for int() with base 10: '\u216b'"},
      // str.isspace() holds for \x1c..\x1f, but int() does not skip them.
      {"\x1c" "5", "E: invalid literal for int() with base 10: '\\x1c5'"},
      {"5\x1f", "E: invalid literal for int() with base 10: '5\\x1f'"},
      {"\x7f" "1", "E: invalid literal for int() with base 10: '\\x7f1'"},
      {"1\0"s, "E: invalid literal for int() with base 10: '1\\x00'"},
      {"it's", "E: invalid literal for int() with base 10: \"it's\""},
      // At most 4300 digits, underscores not counted, refused before what follows is read.
      {std::string(4300, '7'), std::string(4300, '7')},
      {std::string(4301, '1') + "x",
       "E: Exceeds the limit (4300 digits) for integer string conversion: value has 4301 digits; "
       "use sys.set_int_max_str_digits() to increase the limit"},
      // The message quotes at most 200 characters of the repr.
      {std::string(4301, '1') + "_", "E: invalid literal for int() with base 10: '" + std::string(199, '1')},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(int_or_error(in), want) << in;
}

// Every character of category Nd in python3.11 (Unicode 14.0), as runs of
// (first, length); int(chr(first + i)) == i % 10.
TEST(PyInt, DecimalValueOfEveryCodePoint) {
  const std::pair<char32_t, int> nd_runs[] = {
      {0x30, 10},    {0x660, 10},   {0x6f0, 10},   {0x7c0, 10},   {0x966, 10},   {0x9e6, 10},   {0xa66, 10},
      {0xae6, 10},   {0xb66, 10},   {0xbe6, 10},   {0xc66, 10},   {0xce6, 10},   {0xd66, 10},   {0xde6, 10},
      {0xe50, 10},   {0xed0, 10},   {0xf20, 10},   {0x1040, 10},  {0x1090, 10},  {0x17e0, 10},  {0x1810, 10},
      {0x1946, 10},  {0x19d0, 10},  {0x1a80, 10},  {0x1a90, 10},  {0x1b50, 10},  {0x1bb0, 10},  {0x1c40, 10},
      {0x1c50, 10},  {0xa620, 10},  {0xa8d0, 10},  {0xa900, 10},  {0xa9d0, 10},  {0xa9f0, 10},  {0xaa50, 10},
      {0xabf0, 10},  {0xff10, 10},  {0x104a0, 10}, {0x10d30, 10}, {0x11066, 10}, {0x110f0, 10}, {0x11136, 10},
      {0x111d0, 10}, {0x112f0, 10}, {0x11450, 10}, {0x114d0, 10}, {0x11650, 10}, {0x116c0, 10}, {0x11730, 10},
      {0x118e0, 10}, {0x11950, 10}, {0x11c50, 10}, {0x11d50, 10}, {0x11da0, 10}, {0x16a60, 10}, {0x16ac0, 10},
      {0x16b50, 10}, {0x1d7ce, 50}, {0x1e140, 10}, {0x1e2f0, 10}, {0x1e950, 10}, {0x1fbf0, 10},
  };
  std::vector<int> want(0x110000, -1);
  for (auto [first, n] : nd_runs)
    for (int i = 0; i < n; ++i) want[first + i] = i % 10;
  int wrong = 0;
  for (char32_t c = 0; c < 0x110000; ++c)
    if (decimal_value(c) != want[c] && ++wrong < 10) ADD_FAILURE() << std::hex << "U+" << static_cast<uint32_t>(c);
  EXPECT_EQ(wrong, 0);
}

TEST(PyInt, FromJsonValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"100", "100"},   {"true", "1"},         {"false", "0"},     {"-2.9", "-2"},
      {"1e20", "100000000000000000000"},       {"\"+7\"", "7"},    {"\"\\u0663\\u0664\"", "34"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"null", "E: int() argument must be a string, a bytes-like object or a real number, not 'NoneType'"},
      {"[]", "E: int() argument must be a string, a bytes-like object or a real number, not 'list'"},
      {"{}", "E: int() argument must be a string, a bytes-like object or a real number, not 'dict'"},
      {"NaN", "E: cannot convert float NaN to integer"},
      {"-Infinity", "E: cannot convert float infinity to integer"},
  };
  for (const auto& [in, want] : cases) {
    std::string got;
    try {
      got = int_from_json(json::parse(in)).str();
    } catch (const IntConversionError& e) {
      got = "E: "s + e.what();
    }
    EXPECT_EQ(got, want) << in;
  }
  EXPECT_EQ(int_from_json(json::parse("-1.5e300")).str().size(), 302u);
}

TEST(PyInt, SumsExactly) {
  BigInt total;
  total += BigInt::from_decimal("9223372036854775807");
  total += BigInt(1);
  EXPECT_EQ(total.str(), "9223372036854775808");
  EXPECT_EQ(json::dumps(total.to_json()), "9223372036854775808");
  EXPECT_EQ(total.saturated(), LLONG_MAX);
  total += BigInt::from_decimal("-9223372036854775809");
  EXPECT_EQ(total.str(), "-1");
  EXPECT_EQ(total.to_json(), json::Value(-1));
  total += BigInt(1);
  EXPECT_EQ(total.str(), "0");
}

}  // namespace
}  // namespace kestrune::pyint
