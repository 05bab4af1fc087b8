#include <gtest/gtest.h>

#include <string>

#include "kestrune/audit/checks.h"
#include "kestrune/base/fs.h"
#include "testing.h"

namespace kestrune::audit {
namespace {

using testing::graph;
using testing::numbered;
using testkit::TempDir;

std::string dump(const json::Value& v) { return json::dumps(v); }

TEST(CodeSuffix, AgreesWithPathSuffix) {
  for (const char* p : {"a.ts", "src/a.test.tsx", ".ts", "a.", "dir.ts/", "dir.ts//", "a/.", "a.py/.", "x/..", "a.b/c",
                        "/", "", ".", "a.TS", "a..py", "src/.hidden.go", "lib.rs/x.zig/"})
    EXPECT_EQ(has_code_suffix(p), is_code_ext(fs::suffix(p))) << p;
}

// ---- dead exports ------------------------------------------------------------

TEST(DeadExports, ExportedSymbolsOfSourceFilesWithoutUsesAreDead) {
  auto g = graph(R"({"nodes": [
    {"id": "src/b.ts", "kind": "file", "path": "src/b.ts", "content": ""},
    {"id": "src/b.ts::Beta", "kind": "symbol", "path": "src/b.ts", "name": "Beta", "exported": true,
     "line_start": 4, "symbol_type": "model"},
    {"id": "src/a.ts::alpha", "kind": "symbol", "path": "src/a.ts", "name": "alpha", "exported": 1},
    {"id": "src/a.ts::hidden", "kind": "symbol", "path": "src/a.ts", "name": "hidden", "exported": false},
    {"id": "docs/x.md::Doc", "kind": "symbol", "path": "docs/x.md", "name": "Doc", "exported": true},
    {"id": "other", "kind": "symbol", "path": "lib/other.py", "file": "src/c.go", "name": "Other",
     "exported": true, "line_start": null}
  ]})");
  // Sorted by file; lines are one-based; a non-empty `file` wins over `path`.
  EXPECT_EQ(dump(check_dead_exports(g)),
            R"([{"file": "src/a.ts", "symbol": "alpha", "line": 1, "type": ""}, )"
            R"({"file": "src/b.ts", "symbol": "Beta", "line": 5, "type": "model"}, )"
            R"({"file": "src/c.go", "symbol": "Other", "line": 1, "type": ""}])");
}

TEST(DeadExports, ImportsAndReferencesAreUsesButContainsIsNot) {
  auto g = graph(R"({"nodes": [
    {"id": "a.ts::A", "kind": "symbol", "path": "a.ts", "name": "A", "exported": true},
    {"id": "a.ts::B", "kind": "symbol", "path": "a.ts", "name": "B", "exported": true},
    {"id": "a.ts::C", "kind": "symbol", "path": "a.ts", "name": "C", "exported": true}
  ], "edges": [
    {"from": "a.ts", "to": "a.ts::A", "rel": "contains"},
    {"from": "a.ts", "to": "a.ts::B", "rel": "contains"},
    {"from": "a.ts", "to": "a.ts::C", "rel": "contains"},
    {"from": "x.ts", "to": "a.ts::B", "rel": "imports"},
    {"from": "y.ts", "to": "a.ts::C", "rel": "references"}
  ]})");
  EXPECT_EQ(dump(check_dead_exports(g)), R"([{"file": "a.ts", "symbol": "A", "line": 1, "type": ""}])");
}

TEST(DeadExports, ANameWrittenInAnotherFileIsAUse) {
  auto g = graph(R"({"nodes": [
    {"id": "a.ts", "kind": "file", "path": "a.ts", "content": "export function useCart() { useCart(); }\nSelfOnly"},
    {"id": "a.ts::useCart", "kind": "symbol", "path": "a.ts", "name": "useCart", "exported": true},
    {"id": "a.ts::SelfOnly", "kind": "symbol", "path": "a.ts", "name": "SelfOnly", "exported": true},
    {"id": "a.ts::total", "kind": "symbol", "path": "a.ts", "name": "total", "exported": true},
    {"id": "a.ts::$store", "kind": "symbol", "path": "a.ts", "name": "$store", "exported": true},
    {"id": "a.ts::abc", "kind": "symbol", "path": "a.ts", "name": "abc", "exported": true},
    {"id": "a.ts::Cart", "kind": "symbol", "path": "a.ts", "name": "Cart", "exported": true},
    {"id": "b.tsx", "kind": "file", "path": "b.tsx",
     "content": "<useCart/> subtotal $store.x 9abc Cart_ é"}
  ]})");
  // useCart, $store and abc (the token in "9abc") are used in b.tsx; "subtotal"
  // and "Cart_" are other identifiers; SelfOnly only occurs in its own file.
  EXPECT_EQ(dump(check_dead_exports(g)),
            R"([{"file": "a.ts", "symbol": "SelfOnly", "line": 1, "type": ""}, )"
            R"({"file": "a.ts", "symbol": "total", "line": 1, "type": ""}, )"
            R"({"file": "a.ts", "symbol": "Cart", "line": 1, "type": ""}])");
}

TEST(DeadExports, KeepsTheFirstFiftyAfterSorting) {
  std::string nodes;
  for (int i = 0; i < 60; ++i) {
    const std::string file = numbered("f", 59 - i, ".ts");
    if (i) nodes += ",";
    nodes += R"({"id": ")" + file + "::S\", \"kind\": \"symbol\", \"path\": \"" + file +
             R"(", "name": "S", "exported": true})";
  }
  const json::Value out = check_dead_exports(graph(R"({"nodes": [)" + nodes + "]}"));
  ASSERT_EQ(out.as_array().size(), 50u);
  EXPECT_EQ(out.as_array()[0]["file"].as_string(), "f0.ts");
  EXPECT_EQ(out.as_array()[1]["file"].as_string(), "f1.ts");
  EXPECT_EQ(out.as_array()[2]["file"].as_string(), "f10.ts");
  EXPECT_EQ(check_dead_exports(graph(R"({"nodes": [)" + nodes + "]}"), SIZE_MAX).as_array().size(), 60u);
}

// ---- test coverage -------------------------------------------------------------

TEST(TestCoverage, TestFilesMarkStemsAsTested) {
  TempDir p;
  p.write("src/big.ts", std::string(500, 'x'));
  p.write("lib/mid.py", std::string(50, 'x'));
  auto g = graph(R"({"nodes": [
    {"id": "src/foo.test.ts", "kind": "file"}, {"id": "tests/test_bar.py", "kind": "file"},
    {"id": "spec/__tests__/x.md", "kind": "file"},
    {"id": "src/foo.ts", "kind": "file"}, {"id": "src/Bar.py", "kind": "file"},
    {"id": "src/index.ts", "kind": "file"}, {"id": "app.py", "kind": "file"},
    {"id": "tests/util.py", "kind": "file"}, {"id": "lib/mid.py", "kind": "file"},
    {"id": "src/big.ts", "kind": "file"}, {"id": "README.md", "kind": "file"},
    {"id": "src/big.ts::x", "kind": "symbol"}
  ]})");
  // Untested: tests/util.py (no slash before "tests"), lib/mid.py, src/big.ts;
  // listed largest first, the missing file counting 0 bytes.
  EXPECT_EQ(dump(check_test_coverage(g, p.path())),
            R"({"total_code_files": 7, "tested_files": 4, "coverage_pct": 57, )"
            R"("untested": ["src/big.ts", "lib/mid.py", "tests/util.py"]})");
}

TEST(TestCoverage, NoCodeFilesIsFullCoverageAndHalvesRoundToEven) {
  EXPECT_EQ(dump(check_test_coverage(graph(R"({"nodes": [{"id": "a.md", "kind": "file"}]})"), "/nonexistent")),
            R"({"total_code_files": 0, "tested_files": 0, "coverage_pct": 100, "untested": []})");
  auto pct = [](int tested, int total) {
    std::string nodes;
    for (int i = 0; i < total; ++i) {
      if (i) nodes += ",";
      nodes += R"({"id": ")" + std::string(i < tested ? "index" : "u") + std::to_string(i) + R"(.ts", "kind": "file"})";
      if (i < tested) nodes += R"(, {"id": "test_index)" + std::to_string(i) + R"(.py", "kind": "file"})";
    }
    return check_test_coverage(graph(R"({"nodes": [)" + nodes + "]}"), "/nonexistent")["coverage_pct"].as_int();
  };
  EXPECT_EQ(pct(1, 8), 12);  // 12.5
  EXPECT_EQ(pct(3, 8), 38);  // 37.5
  EXPECT_EQ(pct(5, 8), 62);  // 62.5
}

TEST(TestCoverage, MeasuresTwentyAndListsFifteen) {
  TempDir p;
  std::string nodes;
  for (int i = 0; i < 25; ++i) {
    const std::string id = numbered("m", i, ".go");
    p.write(id, std::string(static_cast<size_t>(i + 1), 'x'));
    nodes += std::string(i ? "," : "") + R"({"id": ")" + id + R"(", "kind": "file"})";
  }
  const json::Value cov = check_test_coverage(graph(R"({"nodes": [)" + nodes + "]}"), p.path());
  const json::Array& untested = cov["untested"].as_array();
  ASSERT_EQ(untested.size(), 15u);
  EXPECT_EQ(untested.front().as_string(), "m19.go");  // the largest of the first 20
  EXPECT_EQ(untested.back().as_string(), "m5.go");
}

// ---- circular dependencies -------------------------------------------------------

json::Value edges(std::initializer_list<std::pair<const char*, const char*>> list, const char* rel = "imports") {
  json::Array es;
  for (auto [a, b] : list) {
    json::Object e;
    e.append("from", a);
    e.append("to", b);
    e.append("rel", rel);
    es.emplace_back(std::move(e));
  }
  json::Object g;
  g.append("edges", std::move(es));
  return g;
}

TEST(CircularDeps, OneCycleForAPairAndSelfEdgesIgnored) {
  EXPECT_EQ(dump(check_circular_deps(edges({{"a", "b"}, {"b", "a"}, {"a", "a"}}))), R"([["a", "b"]])");
  EXPECT_EQ(dump(check_circular_deps(edges({{"a", "a"}}))), "[]");
  EXPECT_EQ(dump(check_circular_deps(edges({{"a", "b"}, {"b", "a"}}, "contains"))), "[]");
  EXPECT_EQ(dump(check_circular_deps(edges({{"a", "b"}, {"b", "a"}}, "references"))), R"([["a", "b"]])");
  EXPECT_EQ(dump(check_circular_deps(graph(R"({"nodes": []})"))), "[]");
}

TEST(CircularDeps, SuccessorsInInsertionOrderAndNodesVisitedOnce) {
  // a -> c closes [a, c] first; b then reaches c, already explored, so the
  // cycle a -> b -> c -> a is not reported.
  EXPECT_EQ(dump(check_circular_deps(edges({{"a", "c"}, {"c", "a"}, {"a", "b"}, {"b", "c"}}))), R"([["a", "c"]])");
}

TEST(CircularDeps, CapIsCheckedOnEntryOnly) {
  // One node meeting twelve back-edges records them all: 11 distinct sets.
  json::Array es;
  auto add = [&](const std::string& a, const std::string& b) {
    json::Object e;
    e.append("from", a);
    e.append("to", b);
    e.append("rel", "imports");
    es.emplace_back(std::move(e));
  };
  for (int i = 0; i < 11; ++i) add(numbered("n", i), numbered("n", i + 1));
  for (int i = 0; i < 11; ++i) add("n11", numbered("n", i));
  json::Object g;
  g.append("edges", es);
  const json::Value out = check_circular_deps(g);
  ASSERT_EQ(out.as_array().size(), 11u);
  EXPECT_EQ(out.as_array()[0].as_array().size(), 12u);
  EXPECT_EQ(dump(out.as_array()[10]), R"(["n10", "n11"])");

  // Cycles found in separate searches stop at 10.
  es.clear();
  for (int k = 0; k < 12; ++k) {
    add("hub", numbered("x", k));
    add(numbered("x", k), "hub");
  }
  g.set("edges", es);
  EXPECT_EQ(check_circular_deps(g).as_array().size(), 10u);
}

TEST(CircularDeps, LongChainsNeedNoDeepStack) {
  json::Array es;
  const int n = 100000;
  for (int i = 0; i < n; ++i) {
    json::Object e;
    e.append("from", numbered("f", i));
    e.append("to", numbered("f", (i + 1) % n));
    e.append("rel", "imports");
    es.emplace_back(std::move(e));
  }
  json::Object g;
  g.append("edges", std::move(es));
  const json::Value out = check_circular_deps(g);
  ASSERT_EQ(out.as_array().size(), 1u);
  EXPECT_EQ(out.as_array()[0].as_array().size(), static_cast<size_t>(n));
  EXPECT_EQ(out.as_array()[0].as_array()[0].as_string(), "f0");
}

// ---- copy-paste ------------------------------------------------------------------

TEST(CopyPaste, GroupsEqualBodiesOfTenLinesOrMore) {
  auto g = graph(R"({"nodes": [
    {"id": "s1", "kind": "symbol", "path": "a.ts", "name": "short1", "body_hash": "h9", "line_start": 0, "line_end": 9},
    {"id": "s2", "kind": "symbol", "path": "b.ts", "name": "short2", "body_hash": "h9", "line_start": 5, "line_end": 14},
    {"id": "l1", "kind": "symbol", "path": "src/a/util.ts", "name": "fmt", "body_hash": "h10", "line_start": 2, "line_end": 12},
    {"id": "l2", "kind": "symbol", "path": "x.md", "file": "lib/util.ts", "name": "fmt", "body_hash": "h10", "line_end": 10},
    {"id": "m1", "kind": "symbol", "path": "a.md", "name": "doc", "body_hash": "h10", "line_start": 0, "line_end": 30},
    {"id": "b1", "kind": "symbol", "path": "c.py", "name": "big", "body_hash": "h20", "line_start": 0, "line_end": 20},
    {"id": "b2", "kind": "symbol", "path": "d.py", "name": "big", "body_hash": "h20", "line_start": null, "line_end": 20},
    {"id": "n1", "kind": "symbol", "path": "e.py", "name": "nohash", "body_hash": "", "line_end": 40},
    {"id": "n2", "kind": "symbol", "path": "f.py", "name": "nohash", "body_hash": null, "line_end": 40}
  ]})");
  EXPECT_EQ(dump(check_copy_paste(g)),
            R"([{"copies": 2, "lines": 20, "symbols": [{"file": "c.py", "name": "big", "line": 1}, )"
            R"({"file": "d.py", "name": "big", "line": 1}]}, )"
            R"({"copies": 2, "lines": 10, "symbols": [{"file": "src/a/util.ts", "name": "fmt", "line": 3}, )"
            R"({"file": "lib/util.ts", "name": "fmt", "line": 1}]}])");
}

TEST(CopyPaste, CapsMembersAndGroups) {
  std::string nodes;
  for (int h = 0; h < 14; ++h)
    for (int m = 0; m < 7; ++m)
      nodes += std::string(nodes.empty() ? "" : ",") + R"({"id": "s", "kind": "symbol", "path": "a.go", "name": "f)" +
               std::to_string(m) + R"(", "body_hash": "h)" + std::to_string(h) + R"(", "line_end": )" +
               std::to_string(10 + h) + "}";
  const json::Array out = check_copy_paste(graph(R"({"nodes": [)" + nodes + "]}")).as_array();
  ASSERT_EQ(out.size(), 12u);
  EXPECT_EQ(out[0]["lines"].as_int(), 23);
  EXPECT_EQ(out[0]["copies"].as_int(), 7);
  EXPECT_EQ(out[0]["symbols"].as_array().size(), 5u);
  EXPECT_EQ(out[11]["lines"].as_int(), 12);
}

// ---- database calls in route files ------------------------------------------------

TEST(DbInRoutes, CountsCallsInRouteFilesOnly) {
  TempDir p;
  const std::string calls = "a\nb\nc\nconst u = db.user;\n\n\n\n\nawait x.save( ); user.findMany ()\n";
  p.write("src/routes/users.ts", calls);
  p.write("src/models/user.ts", calls);
  p.write("src/rapid.ts", "cursor.execute(q)\ndb.x\ndb.y\ndb.z\nDB.w\nx.query (1)\ny.create(2)\n");
  p.write("api/notes.md", calls);
  auto g = graph(R"({"nodes": [
    {"id": "src/routes/users.ts", "kind": "file"}, {"id": "src/models/user.ts", "kind": "file"},
    {"id": "src/rapid.ts", "kind": "file"}, {"id": "api/notes.md", "kind": "file"},
    {"id": "api/gone.ts", "kind": "file"}
  ]})");
  EXPECT_EQ(dump(check_db_in_routes(g, p.path())),
            R"([{"file": "src/rapid.ts", "count": 7, "lines": [1, 2, 3, 4, 5], )"
            R"("patterns": ["cursor.execute", "db.", "DB."]}, )"
            R"({"file": "src/routes/users.ts", "count": 3, "lines": [4, 9], "patterns": ["db.", ".save(", ".findMany ("]}])");
}

// ---- TODO markers --------------------------------------------------------------

TEST(Todos, MarkersNeedThreeCharactersAfterThem) {
  TempDir p;
  p.write("a.ts",
          "// TODO: fix\r\n// TODO\r\n// TODO:\r\n// todo: x\r\n// FIXME(bob)：later  \r\nnothing\r\n"
          "# HACK " + std::string(100, 'y') + "\n");
  p.write("b.md", "TODO: not code\n");
  auto g = graph(R"({"nodes": [{"id": "a.ts", "kind": "file"}, {"id": "b.md", "kind": "file"},
                              {"id": "missing.py", "kind": "file"}]})");
  EXPECT_EQ(dump(check_todos(g, p.path())),
            R"([{"file": "a.ts", "line": 1, "text": "TODO: fix"}, {"file": "a.ts", "line": 4, "text": "todo: x"}, )"
            R"({"file": "a.ts", "line": 5, "text": "FIXME(bob)\uff1alater"}, )"
            R"({"file": "a.ts", "line": 7, "text": "HACK )" + std::string(85, 'y') + R"("}])");
}

TEST(Todos, StopsAtForty) {
  TempDir p;
  std::string text;
  for (int i = 0; i < 30; ++i) text += "// TODO: item " + std::to_string(i) + "\n";
  p.write("a.py", text);
  p.write("b.py", text);
  const json::Array out =
      check_todos(graph(R"({"nodes": [{"id": "a.py", "kind": "file"}, {"id": "b.py", "kind": "file"}]})"), p.path())
          .as_array();
  ASSERT_EQ(out.size(), 40u);
  EXPECT_EQ(dump(out.back()), R"({"file": "b.py", "line": 10, "text": "TODO: item 9"})");
}

// ---- missing error handling ---------------------------------------------------

TEST(MissingErrorHandling, BodiesAreTheSymbolsInclusiveLineRange) {
  TempDir p;
  p.write("api.py",
          "def guarded():\n"          // 0
          "    try:\n"                // 1
          "        fetch(url)\n"      // 2
          "    except E: pass\n"      // 3
          "def bare():\n"             // 4
          "    return requests.get(u)\n"  // 5
          "def one_line(): return axios.post(u)\n"  // 6
          "def tail():\n"             // 7
          "    x = 1\n"               // 8
          "    grpc.call()\n");       // 9
  auto g = graph(R"({"nodes": [
    {"id": "api.py::guarded", "kind": "symbol", "path": "api.py", "name": "guarded", "line_start": 0, "line_end": 3},
    {"id": "api.py::bare", "kind": "symbol", "path": "api.py", "name": "bare", "line_start": 4, "line_end": 5},
    {"id": "api.py::one_line", "kind": "symbol", "path": "api.py", "name": "one_line", "line_start": 6},
    {"id": "api.py::head", "kind": "symbol", "path": "api.py", "name": "head", "line_start": 7, "line_end": 8},
    {"id": "api.py::tail", "kind": "symbol", "path": "api.py", "name": "tail", "line_start": 7, "line_end": 99},
    {"id": "api.py::past", "kind": "symbol", "path": "api.py", "name": "past", "line_start": 40, "line_end": 50},
    {"id": "api.md::doc", "kind": "symbol", "path": "api.md", "name": "doc", "line_start": 0, "line_end": 9},
    {"id": "gone.py::f", "kind": "symbol", "path": "gone.py", "name": "f", "line_start": 0, "line_end": 9}
  ]})");
  EXPECT_EQ(dump(check_missing_error_handling(g, p.path())),
            R"([{"file": "api.py", "symbol": "bare", "line": 5}, {"file": "api.py", "symbol": "one_line", "line": 7}, )"
            R"({"file": "api.py", "symbol": "tail", "line": 8}])");
}

TEST(MissingErrorHandling, StopsAtTwentyFive) {
  TempDir p;
  p.write("a.js", "fetch(x)\n");
  std::string nodes;
  for (int i = 0; i < 30; ++i)
    nodes += std::string(i ? "," : "") + R"({"id": "a.js::f", "kind": "symbol", "path": "a.js", "name": "f)" +
             std::to_string(i) + R"("})";
  const json::Array out = check_missing_error_handling(graph(R"({"nodes": [)" + nodes + "]}"), p.path()).as_array();
  ASSERT_EQ(out.size(), 25u);
  EXPECT_EQ(out.back()["symbol"].as_string(), "f24");
}

// ---- loading and run_audit -------------------------------------------------------

TEST(RunAudit, MissingOrUnusableGraphsEndWithTwoMessages) {
  for (const char* text : {"", "not json", "[1, 2]", "{}", "\"x\""}) {
    TempDir p;
    if (*text) p.write(".braid/info_graph.json", text);
    std::string said;
    EXPECT_THROW(run_audit(p.path(), [&](std::string_view s) { said += s; }), NoGraph) << text;
    EXPECT_EQ(said, "No info_graph.json found in " + p.path() +
                        "/.braid/\nRun `brc .` first to build the graph, then re-run the audit.\n");
  }
}

TEST(RunAudit, RunsEveryCheckInOrderWithProgress) {
  TempDir p;
  p.write(".braid/info_graph.json", "\xEF\xBB\xBF{\"nodes\": [{\"id\": \"a.ts\", \"kind\": \"file\"}], \"extra\": \"\xFF\"}");
  std::string said;
  const json::Object r = run_audit(p.path(), [&](std::string_view s) { said += s; });
  EXPECT_EQ(said,
            "  dead exports...  done\n  test coverage...  done\n  circular deps...  done\n  copy-paste...  done\n"
            "  DB in routes...  done\n  TODOs...  done\n  error handling...  done\n");
  std::string keys;
  for (const json::Member& m : r) keys += m.key + " ";
  EXPECT_EQ(keys,
            "_graph dead_exports test_coverage circular_deps copy_paste db_in_routes todos "
            "missing_error_handling debt_score ");
  EXPECT_EQ(r.at("_graph")["extra"].as_string(), "\uFFFD");
  EXPECT_EQ(r.at("debt_score").as_int(), 60);  // the one code file is untested
}

TEST(ReadSource, MissingAndUnreadableFilesReadAsEmpty) {
  TempDir p;
  p.write("a.py", "x\r\ny\xFF");
  EXPECT_EQ(read_source(p.path(), "a.py"), "x\ny\uFFFD");
  EXPECT_EQ(read_source(p.path(), "nope.py"), "");
  EXPECT_EQ(read_source(p.path(), ""), "");
}

}  // namespace
}  // namespace kestrune::audit
