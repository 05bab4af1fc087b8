#include <gtest/gtest.h>

#include <tuple>

#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/symbols.h"

namespace kestrune::lexscan {
namespace {

using Row = std::tuple<std::string, std::string, std::string, bool>;  // name, type, confidence, exported
using Span = std::tuple<std::string, std::string, long long, long long, bool>;  // name, type, start, end, exported

std::vector<Row> rows(const std::vector<Symbol>& syms) {
  std::vector<Row> out;
  for (const auto& s : syms) out.emplace_back(s.name, s.symbol_type, s.confidence, s.exported);
  return out;
}

std::vector<Span> spans(const std::vector<Symbol>& syms) {
  std::vector<Span> out;
  for (const auto& s : syms) out.emplace_back(s.name, s.symbol_type, s.line_start, s.line_end, s.exported);
  return out;
}

TEST(Symbols, ClassifyTs) {
  EXPECT_EQ(classify_ts("DELETE", false), std::make_pair(std::string("api_route"), std::string("high")));
  EXPECT_EQ(classify_ts("useAuth", false).first, "hook");
  EXPECT_EQ(classify_ts("use", true), std::make_pair(std::string("use_case"), std::string("high")));
  EXPECT_EQ(classify_ts("user", true).first, "use_case");
  EXPECT_EQ(classify_ts("useÉtat", true).first, "hook");  // any upper-case letter, not only ASCII
  EXPECT_EQ(classify_ts("helper", false), std::make_pair(std::string("utility"), std::string("medium")));
  EXPECT_EQ(classify_ts("Button", true), std::make_pair(std::string("use_case"), std::string("medium")));
  EXPECT_EQ(classify_ts("", true).second, "high");
}

TEST(Symbols, TypeScriptRoutesAndRecordShape) {
  auto syms = symbols_ts("export async function POST(req) {\n  return 1;\n}\nfunction GET() {}\n"
                         "export default function GET() {}\n",
                         "app/route.ts");
  auto records = to_records(syms);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(json::dumps(records[0]),
            R"({"id": "app/route.ts::POST", "name": "POST", "symbol_type": "api_route", "line_start": 0, )"
            R"("line_end": 2, "body_hash": "e58d71b6", "confidence": "high", "exported": true, "keywords": ["post"]})");
  EXPECT_EQ(extract_symbols_ts("", "x.ts").size(), 0u);
}

TEST(Symbols, TypeScriptPassesAndFirstNameWins) {
  auto syms = symbols_ts(
      "export function useAuth() {}\nexport function Button() {}\nexport function fetchUser() {}\n"
      "function local() {}\nexport const go = async () => 1;\nexport const N = 5;\n"
      "const userSchema = z.object({});\nexport function Same() {}\nexport interface Same {}\n",
      "f.ts");
  EXPECT_EQ(rows(syms), (std::vector<Row>{{"useAuth", "hook", "high", true},
                                          {"Button", "use_case", "medium", true},
                                          {"fetchUser", "use_case", "high", true},
                                          {"local", "utility", "medium", false},
                                          {"Same", "use_case", "medium", true},
                                          {"go", "use_case", "high", true},
                                          {"userSchema", "model", "high", true}}));
}

TEST(Symbols, BlockEnds) {
  Lines unbalanced(151, "x");
  unbalanced[0] = "export function broken() {";
  EXPECT_EQ(find_block_end_ts(unbalanced, 0), 100);
  EXPECT_EQ(find_block_end_ts(Lines(unbalanced.begin(), unbalanced.begin() + 40), 0), 39);
  EXPECT_EQ(find_block_end_ts(Lines{"a { \\{ }"}, 0), 0);  // the escaped brace does not count
  EXPECT_EQ(find_block_end_ts(Lines{}, 0), -1);
  EXPECT_EQ(find_block_end_py(Lines{"def f():", "    x = 1", "", "y = 2", "", "@deco", "def g():"}, 0), 3);
  EXPECT_EQ(find_block_end_py(Lines{"def f(): pass"}, 0), 0);
  EXPECT_EQ(body_hash(Lines{"a", "b", "c"}, 0, 1), "8cdeb444");
  EXPECT_EQ(body_hash(Lines{"a"}, 5, 9), "d41d8cd9");  // past the end: the empty text
  EXPECT_EQ(body_hash(Lines{"\xc3\xa9"}, 0, 0), "66ddcd97");
}

TEST(Symbols, Python) {
  auto syms = symbols_py(
      "@router.get('/x')\n\ndef near():\n    pass\n\n@app.post('/y')\n\n\n\n\ndef far():\n    pass\n"
      "class _Priv:\n    def method(self):\n        pass\ndef _hidden(): pass\ndef test_one(): pass\n",
      "m.py");
  EXPECT_EQ(spans(syms), (std::vector<Span>{{"near", "api_route", 2, 3, true},
                                            {"far", "use_case", 10, 11, true},
                                            {"_Priv", "model", 12, 14, false}}));
  EXPECT_EQ(syms[0].body_hash, "86c6f612");
  EXPECT_EQ(syms[2].body_hash, "a02cff25");
}

TEST(Symbols, CSharpAndPhp) {
  auto cs = symbols_cs("public class A { }\n  public void If() { }\n  private int Count(x)\n"
                       "  public override string ToString()\n  public void if()\n",
                       "a.cs");
  EXPECT_EQ(spans(cs), (std::vector<Span>{{"A", "model", 0, 4, true},
                                          {"If", "use_case", 1, 4, true},
                                          {"Count", "use_case", 2, 4, false},
                                          {"ToString", "use_case", 3, 4, true}}));
  // The whitespace alternative starts the function match a character early.
  auto php = symbols_php("<?php\nclass Foo {\n  public function bar() {\n  }\n}\nfunction baz() {}\ntrait T {}\n", "a.php");
  EXPECT_EQ(spans(php), (std::vector<Span>{{"bar", "use_case", 2, 3, false},
                                           {"baz", "use_case", 4, 5, false},
                                           {"Foo", "model", 1, 4, true},
                                           {"T", "model", 6, 6, true}}));
}

TEST(Symbols, LineIndicesCountOnlyLineFeeds) {
  auto syms = symbols_ts("a\xe2\x80\xa8" "b\nexport function z() {}\n", "s.ts");
  ASSERT_EQ(syms.size(), 1u);
  EXPECT_EQ(syms[0].line_start, 1);
  EXPECT_EQ(syms[0].line_end, 2);  // the body search reads lines split at U+2028 too
  EXPECT_EQ(syms[0].body_hash, "5acdd113");
}

TEST(Symbols, DispatchByExtension) {
  EXPECT_EQ(symbols_for_file("def f(): pass\n", "a.py", ".py").size(), 1u);
  EXPECT_EQ(symbols_for_file("export function f() {}\n", "a.jsx", ".jsx").size(), 1u);
  EXPECT_EQ(symbols_for_file("<?php function f() {}", "a.php", ".php").size(), 1u);
  EXPECT_TRUE(symbols_for_file("func F() {}\n", "a.go", ".go").empty());
  EXPECT_TRUE(symbols_for_file("def f(): pass\n", "a.PY", ".PY").empty());
}

}  // namespace
}  // namespace kestrune::lexscan
