#include <gtest/gtest.h>

#include <string>

#include "kestrune/audit/report.h"
#include "kestrune/audit/score.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/regex.h"
#include "testing.h"

namespace kestrune::audit {
namespace {

json::Object record(std::string_view text) { return json::parse(text).as_object(); }

json::Object with_coverage(long long pct) {
  json::Object cov;
  cov.append("coverage_pct", pct);
  json::Object r;
  r.append("test_coverage", std::move(cov));
  return r;
}

json::Array items(size_t n, std::string_view rec) {
  json::Array a;
  for (size_t i = 0; i < n; ++i) a.push_back(json::parse(rec));
  return a;
}

// ---- debt score ------------------------------------------------------------------

TEST(DebtScore, CoverageBands) {
  struct Case {
    long long coverage, score;
    const char* grade;
    const char* color;
  };
  for (const Case& c : {Case{0, 60, "HIGH", "red"}, Case{100, 0, "LOW", "green"}, Case{31, 29, "LOW", "green"},
                        Case{30, 30, "MEDIUM", "yellow"}, Case{1, 59, "MEDIUM", "yellow"}}) {
    const long long score = debt_score(with_coverage(c.coverage));
    EXPECT_EQ(score, c.score) << c.coverage;
    EXPECT_EQ(debt_grade(score), c.grade);
    EXPECT_EQ(debt_color(score), c.color);
  }
  EXPECT_EQ(debt_score(json::Object{}), 0);  // no coverage record counts as 100
}

TEST(DebtScore, TermsAreCappedAndSoIsTheTotal) {
  json::Object r = with_coverage(100);
  r.append("dead_exports", items(2, "{}"));
  EXPECT_EQ(debt_score(r), 0);
  r.set("dead_exports", items(5, "{}"));
  EXPECT_EQ(debt_score(r), 1);
  r.set("dead_exports", items(50, "{}"));
  r.append("circular_deps", items(11, "[]"));
  r.append("copy_paste", items(6, "{}"));
  r.append("db_in_routes", items(10, "{}"));
  r.append("todos", items(40, "{}"));
  r.append("missing_error_handling", items(25, "{}"));
  EXPECT_EQ(debt_score(r), 15 + 10 + 10 + 5 + 5 + 5);
  r.set("test_coverage", with_coverage(0).at("test_coverage"));
  EXPECT_EQ(debt_score(r), 100);
}

// ---- roadmap ---------------------------------------------------------------------

TEST(FixRoadmap, TasksKeepTheirFixedOrderNotTheWeekOrder) {
  json::Object r = record(R"({
    "dead_exports": [{"file": "d1"}, {"file": "d1"}, {"file": "d2"}, {"file": "d3"}, {"file": "d4"},
                     {"file": "d5"}, {"file": "d6"}],
    "test_coverage": {"coverage_pct": 49, "untested": ["u1", "u2", "u3", "u4"]},
    "circular_deps": [["a", "b"], ["b", "c"], ["x", "y"]],
    "copy_paste": [{"symbols": [{"file": "p1"}, {"file": "p2"}]}],
    "db_in_routes": [{"file": "r1"}, {"file": "r2"}, {"file": "r3"}, {"file": "r4"}],
    "missing_error_handling": [{"file": "e1"}]
  })");
  EXPECT_EQ(json::dumps(json::Value(fix_roadmap(r)), {.indent = 1}), R"js([
 {
  "week": 1,
  "label": "Add tests to largest untested modules",
  "files": [
   "u1",
   "u2",
   "u3"
  ],
  "why": "Only 49% test coverage"
 },
 {
  "week": 1,
  "label": "Move DB calls out of route handlers",
  "files": [
   "r1",
   "r2",
   "r3"
  ],
  "why": "Direct DB in routes = no separation of concerns, untestable"
 },
 {
  "week": 2,
  "label": "Extract duplicated functions to shared util",
  "files": [
   "p1",
   "p2"
  ],
  "why": "1 duplicate function group(s) \u2014 single bug fix = fix everywhere"
 },
 {
  "week": 2,
  "label": "Break circular imports",
  "files": [
   "a",
   "b",
   "c"
  ],
  "why": "Circular deps prevent tree-shaking and cause init-order bugs"
 },
 {
  "week": 3,
  "label": "Remove 7 dead exports",
  "files": [
   "d1",
   "d2",
   "d3",
   "d4"
  ],
  "why": "Dead code increases bundle size and confuses readers"
 },
 {
  "week": 2,
  "label": "Add error handling to 1 external call(s)",
  "files": [
   "e1"
  ],
  "why": "Unhandled network/RPC errors cause silent failures in production"
 }
])js");
}

TEST(FixRoadmap, Thresholds) {
  EXPECT_TRUE(fix_roadmap(with_coverage(50)).empty());
  EXPECT_EQ(fix_roadmap(with_coverage(49)).size(), 1u);
  json::Object r = with_coverage(100);
  r.append("dead_exports", items(4, R"({"file": "a"})"));
  EXPECT_TRUE(fix_roadmap(r).empty());
  r.set("dead_exports", items(5, R"({"file": "a"})"));
  ASSERT_EQ(fix_roadmap(r).size(), 1u);
  EXPECT_EQ(fix_roadmap(r)[0]["label"].as_string(), "Remove 5 dead exports");
  EXPECT_EQ(json::dumps(fix_roadmap(r)[0]["files"]), R"(["a"])");
}

// ---- terminal report ---------------------------------------------------------------

json::Object sample() {
  json::Object r = record(R"({
    "_graph": {"nodes": [{"id": "a.ts", "kind": "file"}, {"id": "b.md", "kind": "file"}, {"id": "a.ts::x", "kind": "symbol"}]},
    "dead_exports": [],
    "test_coverage": {"total_code_files": 10, "tested_files": 4, "coverage_pct": 40, "untested": ["a.ts", "b.ts", "c.ts", "d.ts", "e.ts"]},
    "circular_deps": [["a.ts", "b.ts", "c.ts", "d.ts", "e.ts"], ["x", "y"]],
    "copy_paste": [{"copies": 3, "lines": 12, "symbols": [{"file": "src/a/util.ts", "name": "fmt", "line": 3},
                   {"file": "lib/util.ts", "name": "fmt", "line": 1}, {"file": "z.ts", "name": "fmt", "line": 1}]}],
    "db_in_routes": [{"file": "api/users.ts", "count": 5, "lines": [1, 2, 3, 4], "patterns": ["db."]}],
    "todos": [],
    "missing_error_handling": [{"file": "net.py", "symbol": "get", "line": 9}],
    "debt_score": 30
  })");
  json::Array dead, todos;
  for (int i = 0; i < 7; ++i) {
    json::Object d;
    d.append("file", "src/f" + std::to_string(i) + ".ts");
    d.append("symbol", "sym" + std::to_string(i));
    d.append("line", i + 1);
    d.append("type", "utility");
    dead.emplace_back(std::move(d));
  }
  std::string long_text = "TODO: ";
  for (int i = 0; i < 80; ++i) long_text += "é";
  for (int i = 0; i < 5; ++i) {
    json::Object t;
    t.append("file", "t.py");
    t.append("line", i);
    t.append("text", long_text);
    todos.emplace_back(std::move(t));
  }
  r.set("dead_exports", std::move(dead));
  r.set("todos", std::move(todos));
  return r;
}

std::string strip_escapes(const std::string& s) { return re::Regex("\x1b\\[[0-9]+m").sub("", s); }

TEST(FormatReport, PlainTextLineForLine) {
  std::string cut = "TODO: ";
  for (int i = 0; i < 64; ++i) cut += "é";
  const std::string rule =
      "━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━";
  const std::string expected = "\nKestrune Audit — shop\n" + rule + R"(

OVERVIEW
  Code files: 1   Symbols: 1
  Vibe debt:  30/100  (MEDIUM)

TEST COVERAGE
  40%  (4/10 source files covered)
  Largest untested:
    · a.ts
    · b.ts
    · c.ts
    · d.ts

DEAD EXPORTS  (7 symbols)
  · src/f0.ts:1  sym0
  · src/f1.ts:2  sym1
  · src/f2.ts:3  sym2
  · src/f3.ts:4  sym3
  · src/f4.ts:5  sym4
  ... and 2 more

CIRCULAR DEPS  (2 cycle(s))
  · a.ts → b.ts → c.ts → d.ts
  · x → y

COPY-PASTE  (1 group(s))
  · 3× duplicate, 12 lines — util.ts::fmt  /  util.ts::fmt

DB IN ROUTES  (1 file(s))
  · api/users.ts  (5 calls, lines 1, 2, 3)

TODO / FIXME  (5)
  · t.py:0  )" + cut + R"(
  · t.py:1  )" + cut + R"(
  · t.py:2  )" + cut + R"(
  · t.py:3  )" + cut + R"(
  ... and 1 more

NO ERROR HANDLING  (1 function(s))
  · net.py:9  get()

)" + rule + R"(
FIX ROADMAP

  Week 1:  Add tests to largest untested modules
           Why: Only 40% test coverage
           → a.ts
           → b.ts

  Week 1:  Move DB calls out of route handlers
           Why: Direct DB in routes = no separation of concerns, untestable
           → api/users.ts

  Week 2:  Extract duplicated functions to shared util
           Why: 1 duplicate function group(s) — single bug fix = fix everywhere
           → src/a/util.ts
           → lib/util.ts

  Week 2:  Break circular imports
           Why: Circular deps prevent tree-shaking and cause init-order bugs
           → a.ts
           → b.ts

  Week 3:  Remove 7 dead exports
           Why: Dead code increases bundle size and confuses readers
           → src/f0.ts
           → src/f1.ts

  Week 2:  Add error handling to 1 external call(s)
           Why: Unhandled network/RPC errors cause silent failures in production
           → net.py

)" + rule + "\n  Run  brc audit /path --fix  to launch Claude with this context pre-loaded.";
  const std::string plain = format_report("/x/shop", sample(), false);
  EXPECT_EQ(plain, expected);
  EXPECT_EQ(plain.find('\x1b'), std::string::npos);
  EXPECT_EQ(strip_escapes(format_report("/x/shop", sample(), true)), expected);
}

TEST(FormatReport, ColouredPieces) {
  const std::string text = format_report("/x/shop/", sample(), true);
  for (const char* piece : {
           "\n\x1b[1mKestrune Audit — shop\x1b[0m\n",
           "\n  Vibe debt:  \x1b[93m30/100  (MEDIUM)\x1b[0m\n",
           "\n  \x1b[93m40%\x1b[0m  (4/10 source files covered)\n",
           "\n\x1b[2m    · a.ts\x1b[0m\n",
           "\n  · src/f0.ts:1  \x1b[2msym0\x1b[0m\n",
           "\n\x1b[2m  ... and 2 more\x1b[0m\n",
           "\n  · \x1b[33mx → y\x1b[0m\n",
           "\n  · net.py:9  \x1b[2mget()\x1b[0m\n",
           "\n\x1b[96m  Week 3:  Remove 7 dead exports\x1b[0m\n",
           "\n\x1b[2m           → net.py\x1b[0m\n",
           "\n\x1b[2m  Run  brc audit /path --fix  to launch Claude with this context pre-loaded.\x1b[0m",
       })
    EXPECT_NE(text.find(piece), std::string::npos) << piece;
}

TEST(FormatReport, CoverageColoursAndACleanRecord) {
  auto coverage_line = [](const char* cov) {
    json::Object r = record(std::string(R"({"test_coverage": )") + cov + R"(, "debt_score": 0})");
    const std::string text = format_report("p", r, true);
    const size_t at = text.find("TEST COVERAGE");
    return text.substr(text.find('\n', at) + 1, text.find('\n', text.find('\n', at) + 1) - text.find('\n', at) - 1);
  };
  EXPECT_EQ(coverage_line(R"({"coverage_pct": 69})"), "  \x1b[93m69%\x1b[0m  (0/0 source files covered)");
  EXPECT_EQ(coverage_line(R"({"coverage_pct": 70, "tested_files": 7, "total_code_files": 10})"),
            "  \x1b[92m70%\x1b[0m  (7/10 source files covered)");
  EXPECT_EQ(coverage_line(R"({"coverage_pct": 39})"), "  \x1b[91m39%\x1b[0m  (0/0 source files covered)");
  EXPECT_EQ(coverage_line("{}"), "  \x1b[91m?%\x1b[0m  (0/0 source files covered)");

  const std::string rule =
      "━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━━";
  EXPECT_EQ(format_report("/p/clean", record(R"({"test_coverage": {"total_code_files": 3, "tested_files": 3,
                                                  "coverage_pct": 100, "untested": []}, "debt_score": 0})"),
                          false),
            "\nKestrune Audit — clean\n" + rule +
                "\n\nOVERVIEW\n  Code files: 0   Symbols: 0\n  Vibe debt:  0/100  (LOW)\n\nTEST COVERAGE\n"
                "  100%  (3/3 source files covered)\n\n" +
                rule + "\n  Run  brc audit /path --fix  to launch Claude with this context pre-loaded.");
}

TEST(FormatReport, CountsAreGroupedInThousands) {
  json::Array nodes;
  for (int i = 0; i < 1234; ++i) nodes.push_back(json::parse(R"({"id": "f.go", "kind": "file"})"));
  for (int i = 0; i < 1001; ++i) nodes.push_back(json::parse(R"({"kind": "symbol"})"));
  json::Object g;
  g.append("nodes", std::move(nodes));
  json::Object r;
  r.append("_graph", std::move(g));
  r.append("debt_score", 0);
  EXPECT_NE(format_report("p", r, false).find("\n  Code files: 1,234   Symbols: 1,001\n"), std::string::npos);
}

TEST(Colorize, KnownAndUnknownCodes) {
  EXPECT_EQ(colorize("red", "x"), "\x1b[91mx\x1b[0m");
  EXPECT_EQ(colorize("orange", "x", true), "\x1b[33mx\x1b[0m");
  EXPECT_EQ(colorize("purple", "x"), "x\x1b[0m");
  EXPECT_EQ(colorize("red", "x", false), "x");
}

// ---- context file and JSON report ----------------------------------------------

TEST(AuditContext, NoFindingsGiveNineLines) {
  EXPECT_EQ(audit_context(record(R"({"test_coverage": {"coverage_pct": 50}, "debt_score": 10})")),
            "# Audit Context (generated by brc audit)\n\nVibe debt score: 10/100 (LOW)\nTest coverage: 50%\n\n"
            "## Instructions\nWork through the fix roadmap above in order.\n"
            "Call graph_continue() before reading any file.\nCall graph_register_edit() after every change.");
  EXPECT_NE(audit_context(record(R"({"debt_score": 0})")).find("\nTest coverage: ?%\n"), std::string::npos);
}

TEST(AuditContext, FindingsAndRoadmap) {
  EXPECT_EQ(audit_context(sample()),
            "# Audit Context (generated by brc audit)\n\nVibe debt score: 30/100 (MEDIUM)\nTest coverage: 40%\n\n"
            "Dead exports: 7 — run graph_dead_exports() for full list\nCircular deps: 2 cycles\n"
            "DB in route handlers: api/users.ts\n\n## Suggested fix order\n\n"
            "**Week 1:** Add tests to largest untested modules\n  - a.ts\n  - b.ts\n\n"
            "**Week 1:** Move DB calls out of route handlers\n  - api/users.ts\n\n"
            "**Week 2:** Extract duplicated functions to shared util\n  - src/a/util.ts\n  - lib/util.ts\n\n"
            "**Week 2:** Break circular imports\n  - a.ts\n  - b.ts\n\n"
            "**Week 3:** Remove 7 dead exports\n  - src/f0.ts\n  - src/f1.ts\n\n"
            "**Week 2:** Add error handling to 1 external call(s)\n  - net.py\n\n"
            "## Instructions\nWork through the fix roadmap above in order.\n"
            "Call graph_continue() before reading any file.\nCall graph_register_edit() after every change.");
}

TEST(AuditContext, WrittenUnderTheDataDirectory) {
  testkit::TempDir p;
  const std::string path = write_audit_context(p.path(), record(R"({"debt_score": 0})"));
  EXPECT_EQ(path, p.path() + "/.braid/AUDIT_CONTEXT.md");
  EXPECT_EQ(fs::read_bytes(path), audit_context(record(R"({"debt_score": 0})")));
}

TEST(ReportJson, LeavesTheGraphOut) {
  EXPECT_EQ(report_json(record(R"({"_graph": {"nodes": [1]}, "dead_exports": [], "todos": [{"text": "é"}],
                                    "test_coverage": {"untested": []}, "debt_score": 7})")),
            "{\n  \"dead_exports\": [],\n  \"todos\": [\n    {\n      \"text\": \"\\u00e9\"\n    }\n  ],\n"
            "  \"test_coverage\": {\n    \"untested\": []\n  },\n  \"debt_score\": 7\n}");
}

}  // namespace
}  // namespace kestrune::audit
