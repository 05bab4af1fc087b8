#include "kestrune/base/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/base/fs.h"
#include "kestrune/base/json_exact.h"

namespace kestrune::json {
namespace {

std::string parse_error(std::string_view doc) {
  try {
    parse(doc);
  } catch (const ParseError& e) {
    return e.what();
  }
  return "(parsed)";
}

TEST(JsonWrite, EscapesLikePython) {
  Value v(Array{"\x7f", "\u00e9", "\U0001F600", std::string("\0\x1f", 2), "a\"b\\c", "\n\r\t\b\f/"});
  EXPECT_EQ(dumps(v),
            R"(["\u007f", "\u00e9", "\ud83d\ude00", "\u0000\u001f", "a\"b\\c", "\n\r\t\b\f/"])");
  EXPECT_EQ(dumps(v, {.indent = -1, .ensure_ascii = false}),
            "[\"\x7f\", \"\xc3\xa9\", \"\xf0\x9f\x98\x80\", \"\\u0000\\u001f\", \"a\\\"b\\\\c\", "
            "\"\\n\\r\\t\\b\\f/\"]");
  // A long run of safe bytes around one escape.
  std::string long_text(5000, 'x');
  long_text[2500] = '\n';
  EXPECT_EQ(dumps(Value(long_text)), "\"" + long_text.substr(0, 2500) + "\\n" + long_text.substr(2501) + "\"");
  // Bytes that are not UTF-8 (a file name's) are lone surrogates to Python:
  // escaped in ASCII output, written as they are otherwise.
  EXPECT_EQ(dumps(Value("x\xff.md")), R"("x\udcff.md")");
  EXPECT_EQ(dumps(Value("d\xc3(/a\xe9.py")), R"("d\udcc3(/a\udce9.py")");
  EXPECT_EQ(dumps(Value("\xed\xa0\x80\x7f")), R"("\udced\udca0\udc80\u007f")");
  EXPECT_EQ(dumps(Value(Array{"x\xff.md"}), {.indent = -1, .ensure_ascii = false}), "[\"x\xff.md\"]");
  EXPECT_EQ(py_repr(Value(Array{"d\xc3(/a\xe9.py", "\xed\xa0\x80\x7f"})),
            R"(['d\udcc3(/a\udce9.py', '\udced\udca0\udc80\x7f'])");
}

TEST(JsonWrite, EveryByteEscapedAlikeAtEveryOffset) {
  // Each character that needs care, alone in a run of plain text, at every
  // offset: what json.dumps gives, spelled out by hand.
  auto expected = [](char32_t c) -> std::string {
    switch (c) {
      case '"': return "\\\"";
      case '\\': return "\\\\";
      case '\n': return "\\n";
      case '\r': return "\\r";
      case '\t': return "\\t";
      case '\b': return "\\b";
      case '\f': return "\\f";
    }
    if (c >= 0x20 && c < 0x7F) return std::string(1, static_cast<char>(c));
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
    return buf;
  };
  std::vector<char32_t> chars = {0x7F, 0x80, 0xE9, 0x2028, 0xFFFF, ' ', '~', '!', '#', '[', ']'};
  for (char32_t c = 0; c < 0x20; ++c) chars.push_back(c);
  chars.push_back('"');
  chars.push_back('\\');
  for (char32_t c : chars) {
    for (size_t at = 0; at < 20; ++at) {
      std::string in(20, 'a'), want(20, 'a');
      std::string ch;
      text::append(ch, c);
      in.insert(at, ch);
      want.insert(at, expected(c));
      std::string out;
      dump_string(out, in);
      EXPECT_EQ(out, "\"" + want + "\"") << static_cast<unsigned>(c) << " at " << at;
    }
  }
}

TEST(JsonWrite, FloatsAsPythonRepr) {
  const std::pair<double, const char*> cases[] = {
      {1e16, "1e+16"},         {1e-5, "1e-05"},
      {1.5e-7, "1.5e-07"},     {123456789012345.0, "123456789012345.0"},
      {2.0, "2.0"},            {-0.0, "-0.0"},
      {0.1, "0.1"},            {1e-4, "0.0001"},
      {5e-324, "5e-324"},      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {1234567890123456.7, "1234567890123456.8"},
      {12345678901234567.0, "1.2345678901234568e+16"},
      {0.001, "0.001"},        {1e22, "1e+22"},
      {100.0, "100.0"},        {3.14159, "3.14159"},
  };
  for (auto [d, want] : cases) {
    EXPECT_EQ(float_repr(d), want);
    EXPECT_EQ(dumps(Value(d)), want);
  }
  constexpr double inf = std::numeric_limits<double>::infinity();
  Value special(Array{std::nan(""), inf, -inf, BigInt{"12345678901234567890123"}});
  EXPECT_EQ(dumps(special), "[NaN, Infinity, -Infinity, 12345678901234567890123]");
  EXPECT_EQ(py_repr(special), "[nan, inf, -inf, 12345678901234567890123]");
}

TEST(JsonWrite, Indentation) {
  Object inner;
  inner.set("b", nullptr);
  Object o;
  o.set("a", Array{1, Object(), Array(), std::move(inner)});
  o.set("c", "x");
  EXPECT_EQ(dumps(Value(o), {.indent = 2}),
            "{\n  \"a\": [\n    1,\n    {},\n    [],\n    {\n      \"b\": null\n    }\n  ],\n"
            "  \"c\": \"x\"\n}");
  EXPECT_EQ(dumps(Value(o)), R"({"a": [1, {}, [], {"b": null}], "c": "x"})");
  Object one;
  one.set("a", Array{1});
  EXPECT_EQ(dumps(Value(one), {.indent = 0}), "{\n\"a\": [\n1\n]\n}");
  EXPECT_EQ(dumps(Value(Array()), {.indent = 2}), "[]");
}

TEST(JsonRepr, PythonStrAndRepr) {
  Object k;
  k.set("k", Array{1, "x"});
  Value v(Array{"it's", "say \"hi\"", "both ' \"",
                "tab\t\x7f\xc2\x80\xc2\xa0\xc2\xad\xcd\xb8\xe2\x80\xa8\xf0\x9f\x98\x80\xf3\xa0\x80\x81",
                nullptr, true, 1.0, std::move(k)});
  EXPECT_EQ(py_repr(v),
            "[\"it's\", 'say \"hi\"', 'both \\' \"', "
            "'tab\\t\\x7f\\x80\\xa0\\xad\\u0378\\u2028\xf0\x9f\x98\x80\\U000e0001', None, True, "
            "1.0, {'k': [1, 'x']}]");
  EXPECT_EQ(py_str(Value("plain 'text'")), "plain 'text'");
  EXPECT_EQ(py_str(Value(nullptr)), "None");
  EXPECT_EQ(py_str(Value(false)), "False");
  EXPECT_EQ(py_str(Value(1e16)), "1e+16");
  EXPECT_EQ(py_str(Value(std::nan(""))), "nan");
}

TEST(JsonRead, ValuesAndRoundTrip) {
  const char* doc =
      R"({"a": [1, 2.5, -0, 1.0, 1E2, true, false, null], "s": "\u00e9\ud83d\ude00\n", "o": {}})";
  Value v = parse(doc);
  EXPECT_EQ(dumps(v),
            R"({"a": [1, 2.5, 0, 1.0, 100.0, true, false, null], "s": "\u00e9\ud83d\ude00\n", "o": {}})");
  const Array& a = v["a"].as_array();
  EXPECT_TRUE(a[2].is_int());
  EXPECT_TRUE(a[3].is_float());
  EXPECT_EQ(v["s"].as_string(), "\xc3\xa9\xf0\x9f\x98\x80\n");
  EXPECT_EQ(parse(dumps(v)), v);
  EXPECT_EQ(parse(dumps(v, {.indent = 2})), v);
  EXPECT_EQ(parse(" \t\n\r 7 \n").as_int(), 7);
}

TEST(JsonRead, PythonExtensionsAndBigNumbers) {
  Value v = parse("[NaN, Infinity, -Infinity, 1e400, -1E400, 1e-400]");
  const Array& a = v.as_array();
  EXPECT_TRUE(std::isnan(a[0].as_double()));
  EXPECT_EQ(a[1].as_double(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[2].as_double(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[3].as_double(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[4].as_double(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(a[5].as_double(), 0.0);

  Value ints = parse(
      "[9223372036854775807, 9223372036854775808, -9223372036854775808, -9223372036854775809, "
      "123456789012345678901234567890, 12345678901234567890.0]");
  const Array& n = ints.as_array();
  EXPECT_EQ(n[0].as_int(), 9223372036854775807LL);
  EXPECT_EQ(n[1].as_bigint().digits, "9223372036854775808");
  EXPECT_EQ(n[2].as_int(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(n[3].as_bigint().digits, "-9223372036854775809");
  EXPECT_EQ(n[4].as_bigint().digits, "123456789012345678901234567890");
  EXPECT_TRUE(n[5].is_float());
  EXPECT_EQ(dumps(ints),
            "[9223372036854775807, 9223372036854775808, -9223372036854775808, "
            "-9223372036854775809, 123456789012345678901234567890, 1.2345678901234567e+19]");
  EXPECT_EQ(dumps(Value(18446744073709551615ULL)), "18446744073709551615");
}

TEST(JsonRead, DuplicateKeysKeepFirstPlaceLastValue) {
  Value v = parse(R"({"a": 1, "b": 2, "a": 3})");
  EXPECT_EQ(dumps(v), R"({"a": 3, "b": 2})");
  // The same in an object large enough to be indexed, and in the exact path.
  std::string big = "{";
  for (int i = 0; i < 40; ++i) big += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
  big += "\"k5\": \"again\", \"nan\": NaN}";
  Value w = parse(big);
  ASSERT_EQ(w.as_object().size(), 41u);
  EXPECT_EQ(w.as_object().members()[5].key, "k5");
  EXPECT_EQ(w["k5"].as_string(), "again");
}

TEST(JsonRead, LoneSurrogates) {
  // U+DC80..U+DCFF alone is a byte of a name that is not UTF-8: the byte again,
  // so an id read back names its file. Escapes that would spell a valid
  // character together cannot be bytes; they and other lone surrogates become
  // U+FFFD. Text that is itself not UTF-8 (an argument) keeps its bytes.
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"("x\udcff.md")", "x\xff.md"},
      {R"(["\udcc3(\udca9"])", "\xc3(\xa9"},
      {R"("\udcc3\udca9")", "\xef\xbf\xbd\xef\xbf\xbd"},
      {R"("\ud800")", "\xef\xbf\xbd"},
      {R"("\udc7f\ud800A")", "\xef\xbf\xbd\xef\xbf\xbd" "A"},
      {R"("\uD834\uDD1E")", "\xf0\x9d\x84\x9e"},
      {R"("\ud800\udcff")", "\xf0\x90\x83\xbf"},
      {"\"raw\xff\\udcfe\"", "raw\xff\xfe"},
      {"\"\xe2\\udc82\\udcac\"", "\xe2\xef\xbf\xbd\xef\xbf\xbd"},
  };
  for (auto [doc, want] : cases) {
    Value v = parse(doc);
    if (v.is_array()) v = v.as_array()[0];
    EXPECT_EQ(v.as_string(), want) << doc;
    EXPECT_EQ(parse_exact(doc), parse(doc)) << doc;
  }
  EXPECT_EQ(dumps(parse(R"({"x\udcff.md": ["d\udcc3(/a.py"]})")), R"({"x\udcff.md": ["d\udcc3(/a.py"]})");
  EXPECT_EQ(parse_error("[\xff]"), "Expecting value: line 1 column 2 (char 1)");
  EXPECT_EQ(parse_error("{\"a\xff\": 1} x"), "Extra data: line 1 column 11 (char 10)");
}

TEST(JsonRead, ErrorsReadLikePython) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "Expecting value: line 1 column 1 (char 0)"},
      {"-", "Expecting value: line 1 column 1 (char 0)"},
      {"01", "Extra data: line 1 column 2 (char 1)"},
      {"[1,]", "Expecting value: line 1 column 4 (char 3)"},
      {"{\"a\":1,}", "Expecting property name enclosed in double quotes: line 1 column 8 (char 7)"},
      {"{\"a\" 1}", "Expecting ':' delimiter: line 1 column 6 (char 5)"},
      {"[1 2]", "Expecting ',' delimiter: line 1 column 4 (char 3)"},
      {"{\"a\":1", "Expecting ',' delimiter: line 1 column 7 (char 6)"},
      {"\"a\\", "Unterminated string starting at: line 1 column 1 (char 0)"},
      {"\"a\x01\"", "Invalid control character at: line 1 column 3 (char 2)"},
      {"\"\t\"", "Invalid control character at: line 1 column 2 (char 1)"},
      {"\"\\q\"", "Invalid \\escape: line 1 column 2 (char 1)"},
      {"\"\\u12g4\"", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
      {"\"\\u1234", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
      {"-NaN", "Expecting value: line 1 column 1 (char 0)"},
      {"[1,\"\xc3\xa9\" x]", "Expecting ',' delimiter: line 1 column 8 (char 7)"},
      {"\xef\xbb\xbf[]", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"},
  };
  for (auto [doc, want] : cases) EXPECT_EQ(parse_error(doc), want) << doc;
  EXPECT_EQ(parse_error(std::string_view("[\n1,\n\"\0\"]", 9)),
            "Invalid control character at: line 3 column 2 (char 6)");
  try {
    parse("[1] x");
    FAIL();
  } catch (const ParseError& e) {
    EXPECT_EQ(e.pos, 4u);
  }
}

TEST(JsonRead, DeepNestingIsRefusedNotFatal) {
  auto nested = [](size_t n) { return std::string(n, '[') + std::string(n, ']'); };
  EXPECT_TRUE(parse(nested(1000)).is_array());
  EXPECT_EQ(parse_error(nested(1001)), "maximum nesting depth exceeded: line 1 column 1001 (char 1000)");
  EXPECT_EQ(parse_error(nested(100000)), "maximum nesting depth exceeded: line 1 column 1001 (char 1000)");
  // Unbalanced, so simdjson declines and the exact parser meets the depth.
  EXPECT_EQ(parse_error(std::string(100000, '{')),
            "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)");
  EXPECT_EQ(parse_error(std::string(100000, '[')), "maximum nesting depth exceeded: line 1 column 1001 (char 1000)");
}

// The elements for_each_element passes, or nullopt when it leaves the document to parse().
std::optional<Array> streamed(std::string text, std::string_view key = "nodes") {
  Array got;
  if (!for_each_element(text, key, [&](Value&& v) {
        got.push_back(std::move(v));
        return true;
      }))
    return std::nullopt;
  return got;
}

TEST(JsonRead, ElementsOfOneArrayAsParseGivesThem) {
  const std::vector<std::string> docs = {
      R"({"root": ".", "nodes": [{"id": "a", "k": [1, -2.5e3, true, null]}, {"id": "\u00e9\ud83d\ude00\n"}], "edges": [{"from": "a"}]})",
      // Repeated keys inside an element, NaN and big numbers inside an element, scalars as elements.
      R"({"nodes": [{"a": 1, "b": 2, "a": 3}, {"x": [NaN, -Infinity]}, 123456789012345678901234567890, "s", [], {},
          1e400]})",
      // The key spelled with an escape is still the key; whitespace everywhere.
      " \n{ \"n\\u006fdes\" :\t[ 1 , { } ] , \"x\" : { \"y\" : [ [ ] ] } } \r\n",
      R"({"nodes": []})",
  };
  for (const std::string& doc : docs) {
    std::optional<Array> got = streamed(doc);
    ASSERT_TRUE(got) << doc;
    EXPECT_EQ(dumps(Value(*got)), dumps(parse(doc)["nodes"])) << doc;  // text: NaN is not equal to itself
  }

  // Stopping early: nothing past the element that said stop, the rest unread.
  std::string text = R"({"nodes": [1, 2, 3], "edges": [}})";
  std::vector<int64_t> seen;
  EXPECT_TRUE(for_each_element(text, "nodes", [&](Value&& v) {
    seen.push_back(v.as_int());
    return v.as_int() < 2;
  }));
  EXPECT_EQ(seen, (std::vector<int64_t>{1, 2}));

  // What only parse() settles: malformed text anywhere, other top levels, a
  // missing or repeated key, values simdjson does not read outside the array.
  for (const char* doc : {R"({"nodes": [1], "edges": [1,]})", R"({"nodes": [1]} x)", R"({"nodes": [1]}{})",
                          R"({"nodes": [1], "nodes": [2]})", R"({"edges": []})", R"([{"nodes": []}])", R"("nodes")",
                          R"({"nodes": {"a": 1}})", R"({"nodes": [1], "n": NaN})",
                          R"({"nodes": [1], "n": 123456789012345678901234567890})", R"({"nodes": [1], "s": "\ud800"})",
                          "{\"nodes\": [1], \"s\": \"a\tb\"}", R"({"nodes": [{"a" 1}]})", R"({"nodes": [1] )", "",
                          R"({"nodes": [1, "k": 2]]})",  // a string element taken for a key once skipped
                          "\xef\xbb\xbf{\"nodes\": []}"}) {
    EXPECT_FALSE(streamed(doc)) << doc;
  }
  EXPECT_FALSE(streamed(R"({"nodes": [)" + std::string(995, '[') + std::string(995, ']') + "]}"));
  EXPECT_FALSE(streamed(R"({"nodes": [], "x": )" + std::string(995, '[') + std::string(995, ']') + "}"));
}

TEST(JsonObject, OrderIndexAndCopies) {
  Object o;
  for (int i = 0; i < 100; ++i) o.set(std::string(1, 'k').append(std::to_string(i)), i);
  o.set("k7", "seven");
  EXPECT_EQ(o.size(), 100u);
  EXPECT_EQ(o.members()[7].value.as_string(), "seven");
  EXPECT_TRUE(o.erase("k3"));
  EXPECT_FALSE(o.erase("k3"));
  EXPECT_EQ(o.members()[3].key, "k4");
  EXPECT_EQ(o.at("k99").as_int(), 99);
  Object copy = o;
  copy.set("k4", "changed");
  copy.append("new", 1);
  EXPECT_EQ(o.at("k4").as_int(), 4);
  EXPECT_EQ(copy.at("k4").as_string(), "changed");
  EXPECT_EQ(copy.find("new")->as_int(), 1);
  EXPECT_EQ(o.find("new"), nullptr);
  Object assigned;
  assigned = copy;
  EXPECT_EQ(assigned, copy);
  EXPECT_EQ(assigned.at("k50").as_int(), 50);
  EXPECT_THROW(o.at("missing"), std::out_of_range);
}

TEST(JsonValue, TypesAndTruthiness) {
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(1), Value(true));
  EXPECT_THROW(Value("x").as_int(), TypeError);
  EXPECT_THROW(Value(1)["a"], TypeError);
  EXPECT_EQ(Value(3).as_double(), 3.0);
  EXPECT_EQ(Value(BigInt{"-18446744073709551616"}).as_double(), -18446744073709551616.0);
  EXPECT_EQ(Value(BigInt{"1" + std::string(400, '0')}).as_double(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(Value("x").find("a"), nullptr);
  for (const Value& f : {Value(), Value(false), Value(0), Value(0.0), Value(""), Value(Array()), Value(Object())})
    EXPECT_FALSE(f.truthy());
  EXPECT_TRUE(Value(BigInt{"99999999999999999999"}).truthy());
  EXPECT_TRUE(Value("0").truthy());
}

TEST(JsonFile, LoadFileDropsBomAndDecodes) {
  std::string path = testing::TempDir() + "kestrune_json_load.json";
  fs::write_atomic(path, "\xef\xbb\xbf{\"a\": \"\xc3\xa9\"}");
  EXPECT_EQ(dumps(load_file(path)), R"({"a": "\u00e9"})");
  fs::write_atomic(path, "{\"a\": \"\xff\"}");
  EXPECT_THROW(load_file(path), std::runtime_error);
  EXPECT_EQ(load_file(path, text::Errors::Replace)["a"].as_string(), "\xef\xbf\xbd");
  EXPECT_EQ(load_file(path, text::Errors::Drop)["a"].as_string(), "");
  std::remove(path.c_str());
  EXPECT_THROW(load_file(path), fs::OsError);
}

}  // namespace
}  // namespace kestrune::json
