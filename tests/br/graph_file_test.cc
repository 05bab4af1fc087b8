// The graph file path must answer exactly what the full reader answers: the
// same result for every valid file, the same error for every invalid one.
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/testkit.h"
#include "kestrune/base/fs.h"
#include "kestrune/br/json_tokens.h"
#include "kestrune/br/retrieve.h"

namespace kestrune::br {
namespace {

TEST(JsonTokens, AcceptOnlyWhatPythonReadsTheSameWay) {
  EXPECT_EQ(trim_token("12 \t\r\n"), "12");
  EXPECT_EQ(trim_token("\"a \" \n"), "\"a \"");

  for (auto ok : {"0", "-0", "7", "-12", "1.5", "0.25", "1e5", "1E+5", "2.5e-10", "-0.0e0",
                  "123456789012345678901234567890"})
    EXPECT_TRUE(valid_number_token(ok)) << ok;
  for (auto bad : {"", "-", "01", "-01", "1.", ".5", "1e", "1e+", "+1", "1.5.2", "0x10", "NaN",
                   "Infinity", "-Infinity", "1 ", "1_000", "--1"})
    EXPECT_FALSE(valid_number_token(bad)) << bad;

  for (auto ok : {"true", "false", "null"}) EXPECT_TRUE(valid_literal_token(ok)) << ok;
  for (auto bad : {"True", "nul", "nulll", "none", ""}) EXPECT_FALSE(valid_literal_token(bad)) << bad;

  for (auto ok : {R"("")", R"("plain")", R"("\"\\\/\b\f\n\r\t")", R"("\u00e9\uD83D\ude00")",
                  R"("lone \ud800 surrogate")", R"("end\\")"})
    EXPECT_TRUE(valid_string_token(ok)) << ok;
  for (auto bad : {R"(")", R"(x")", R"("x)", R"("\")", R"("\x41")", R"("\u12G4")", R"("\u12")",
                   R"("\U0041")", R"("\'")", R"("a\\\")"})
    EXPECT_FALSE(valid_string_token(bad)) << bad;
}

// Every kind of value in places retrieval reads and in places it skips.
const char* kGraph = R"({"root": "/p", "node_count": 3, "meta": {"a": [1, -2.5e+3, 0.0, true, false, null,
  {"k": "v\"\\\/\b\f\n\r\t\u00e9"}], "e": {}, "l": []},
 "nodes": [
  {"id": "src/api/orders.ts", "kind": "file", "ext": ".ts", "size": 12, "keywords": ["orders", "api"],
   "content": "line one\nline \"two\" \\ \u00e9\ud83d\ude00 end", "summary": "Order API", "x": [[], [{}]]},
  {"id": "src/api/orders.ts::list", "kind": "symbol", "ext": ".ts", "confidence": "high",
   "line_start": 0, "exported": true, "keywords": ["list"]},
  {"id": "docs/orders.md", "ext": ".md", "summary": null, "keywords": null, "content": "# Orders\t\u0041"}
 ],
 "edges": [
  {"from": "src/api/orders.ts", "to": "src/api/orders.ts::list", "rel": "contains", "w": 1e2},
  {"from": "src/api/orders.ts", "to": "./db", "rel": "imports"}
 ]})";

class GraphFile : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ + "/g.json"; }

  static std::string text_of(const RetrieveResult& r) {
    return json::dumps(json::Value(r.files)) + "\n" + json::dumps(json::Value(r.edges));
  }

  // What the full reader answers: the result, or the error's kind and text.
  std::string full(std::string_view q, long long tf, long long te,
                   const std::vector<CapabilityEntry>& caps) {
    try {
      json::Value graph = json::load_file(path_);
      if (!graph.is_object()) throw TypeError("graph must be a dict");
      return text_of(materialise(graph, select(graph, q, tf, te, caps)));
    } catch (const json::ParseError& e) {
      return std::string("ParseError: ") + e.what();
    } catch (const TypeError& e) {
      return std::string("TypeError: ") + e.what();
    } catch (const std::exception& e) {
      return std::string("error: ") + e.what();
    }
  }

  std::string answer(std::string_view q, long long tf, long long te,
                     const std::vector<CapabilityEntry>& caps) {
    try {
      return text_of(retrieve_file(path_, q, tf, te, caps));
    } catch (const json::ParseError& e) {
      return std::string("ParseError: ") + e.what();
    } catch (const TypeError& e) {
      return std::string("TypeError: ") + e.what();
    } catch (const std::exception& e) {
      return std::string("error: ") + e.what();
    }
  }

  // `streamed`: whether the streaming pass is expected to answer by itself.
  void expect_same(const std::string& text, std::string_view q, long long tf, long long te,
                   bool streamed, const std::vector<CapabilityEntry>& caps = {}) {
    fs::write_atomic(path_, text);
    EXPECT_EQ(answer(q, tf, te, caps), full(q, tf, te, caps)) << text;
    EXPECT_EQ(retrieve_file_streaming(path_, q, tf, te, caps).has_value(), streamed) << text;
  }

  testkit::TempDir scratch_;
  std::string dir_ = scratch_.path(), path_;
};

TEST_F(GraphFile, AgreesWithTheFullReader) {
  std::vector<CapabilityEntry> caps = {{"Orders", {"orders"}, {"docs/", "src/api/orders.ts"}}};
  for (auto q : {"GET /api/orders returns 500", "explain the docs", "", "make the button show status"})
    for (long long tf : {20LL, 1LL, 0LL, -2LL}) expect_same(kGraph, q, tf, tf * 2, true, caps);
  // Duplicate keys: the last value wins, in the first one's place.
  expect_same(R"({"nodes": [{"id": "a.ts", "id": "b.ts", "ext": ".ts", "keywords": ["x"], "keywords": ["b"]}],
                  "edges": []})", "b", 5, 5, true);
  expect_same(R"({"nodes": [{"id": "a.py"}], "edges": null, "nodes": [{"id": "b.py"}]})", "", 5, 5, false);
  expect_same(R"({"edges": [{"from": "b.py", "to": "x"}], "nodes": [{"id": "a.py"}, {"id": "b.py"}]})", "", 5, 5, true);
  expect_same(R"({"nodes": [{"id": "a.py", "summary": "x", "summary": null, "kind": 3, "confidence": []}]})",
              "a", 5, 5, true);
  // Non-string ids and ends are scored in their text form.
  expect_same(R"({"nodes": [{"id": 7, "ext": null, "kind": "symbol"}, {"id": null}, {"id": true},
                  {"id": 1.5e300}, {"id": -0.0}], "edges": [{"from": 7, "to": "q"}]})", "none 7 true", 5, 5, true);
  // Escaped text where scoring reads it; numbers Python keeps exact in a chosen entry.
  expect_same(R"({"nodes": [{"id": "caf\u00e9\/a.py", "ext": ".py", "keywords": ["\t"], "summary": "\"q\""}]})",
              "a", 5, 5, true);
  expect_same(R"({"nodes": [{"id": "a.py", "ext": ".py", "big": 123456789012345678901234567890,
                  "u": 18446744073709551615, "z": -0, "f": 1E400}]})", "a", 5, 5, true);
  expect_same("\xEF\xBB\xBF" R"({"nodes": [{"id": "a.py", "ext": ".py", "content": "caf\u00e9"}]})", "a", 5, 5, true);
  expect_same(R"({"nodes": [{"id": "a.py", "content": "lone \udc00"}]})", "a", 0, 0, true);
  // Lone surrogates, as a name's bytes that are not UTF-8 are written, read exactly.
  expect_same(R"({"nodes": [{"id": "a\ud800.py", "ext": ".py"}, {"id": "x\udcff.py", "ext": ".py",
                  "keywords": ["k\uDCFE"]}], "edges": [{"from": "x\udcff.py", "to": "a\\udcff"}]})", "a x", 5, 5, true);
  // Left to the full reader: what Python reads differently or the pass does not decode.
  expect_same(R"({"nodes": [{"id": "a.py", "f": NaN, "g": -Infinity}]})", "a", 5, 5, false);
  expect_same(R"({"nodes": [{"\u0069d": "a.py"}]})", "a", 5, 5, false);
  expect_same(R"({"nodes": [{"id": ["a.py"]}]})", "a", 5, 5, false);
}

TEST_F(GraphFile, ErrorsMatchTheFullReader) {
  for (auto text : {R"({"nodes": [{"id": "a", "keywords": "oops"}]})", R"({"nodes": [)", "[]", "",
                    R"({"nodes": "abc"})", R"({"nodes": [1]})", R"({"edges": [{"from": "a"}, 2]})",
                    R"({"nodes": [{"id": "a", "summary": 5}]})", R"({"nodes": [{"id": "a", "keywords": [1]}]})",
                    R"({"nodes": [{"id": "a", "keywords": "oops"}], "x": tru})", "{} {}", "{\"a\": \"\x01\"}",
                    "{\"a\": \"\xff\"}"})
    expect_same(text, "q", 5, 5, false);
}

// Every truncation, deletion and one-byte change of a valid graph: whenever
// the streaming pass answers, the full reader must give the same answer.
TEST_F(GraphFile, DamagedFilesNeverPassAsValid) {
  const std::string good = kGraph;
  const std::string q = "orders list api";
  size_t streamed = 0, cases = 0;
  auto check = [&](const std::string& text) {
    // A fresh name each time: replacing a file by rename makes the file system flush it.
    path_ = dir_ + "/g" + std::to_string(++cases) + ".json";
    fs::write_atomic(path_, text);
    if (auto fast = retrieve_file_streaming(path_, q, 5, 5, {})) {
      ++streamed;
      EXPECT_EQ(text_of(*fast), full(q, 5, 5, {})) << text;
    }
    ::unlink(path_.c_str());
  };
  for (size_t i = 0; i < good.size(); ++i) {
    check(good.substr(0, i));
    check(good.substr(0, i) + good.substr(i + 1));
    static const char kChanges[] = "\"\\,:[]{}x0-.eEu \x01\x80\x7f";
    for (char c : std::string_view(kChanges, sizeof kChanges - 1)) {
      if (good[i] == c) continue;
      std::string bad = good;
      bad[i] = c;
      check(bad);
    }
  }
  // Most changes inside strings leave the file valid: the pass must answer those itself.
  EXPECT_GT(streamed, cases / 5);
}

}  // namespace
}  // namespace kestrune::br
