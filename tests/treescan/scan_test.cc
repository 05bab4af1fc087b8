#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <regex>

#include "common/testkit.h"
#include "kestrune/base/fs.h"
#include "kestrune/lexscan/scan.h"
#include "kestrune/lexscan/scan_cache.h"
#include "kestrune/treescan/peers.h"
#include "kestrune/treescan/walk.h"
#include "testing.h"

namespace kestrune::treescan {
namespace {

using testing::all_grammars;
using testing::grammar_folder;
using testkit::slurp;
using testkit::TempDir;
using Strings = std::vector<std::string>;

// A new grammar directory holding only `present` of the five, linked to the
// built ones. New each time: the loader knows a path it has opened by its name.
std::string grammar_subset(const TempDir& d, const Strings& present) {
  static int made = 0;
  const std::string dir = "grammars" + std::to_string(++made);
  d.mkdir(dir);
  for (const auto& name : present) d.link(grammar_folder() + "/" + name + ".so", dir + "/" + name + ".so");
  return d / dir;
}

const Strings kAll = {"typescript", "tsx", "javascript", "python", "go"};

std::map<std::string, const lexscan::Node*> by_id(const lexscan::Graph& g) {
  std::map<std::string, const lexscan::Node*> out;
  for (const auto& n : g.nodes) out.emplace(n.id, &n);
  return out;
}

Strings ids(const lexscan::Graph& g) {
  Strings out;
  for (const auto& n : g.nodes) out.push_back(n.id);
  return out;
}

Strings relations(const lexscan::Graph& g, std::string_view except = "contains") {
  Strings out;
  for (const auto& e : g.edges)
    if (e.rel != except) out.push_back(e.from + " " + e.rel + " " + e.to);
  return out;
}

TEST(Grammars, MissingOnesDecideTheMode) {
  TempDir d;
  struct Case {
    Strings present;
    bool ast, go;
    const char* failing;  // the file the warning names, or nullptr for no warning
  };
  const Case cases[] = {
      {kAll, true, true, nullptr},
      {{"typescript", "tsx", "javascript", "python"}, true, false, nullptr},
      {{"typescript", "javascript", "python", "go"}, false, false, "tsx.so"},
      {{"go"}, false, false, "typescript.so"},
  };
  for (const auto& c : cases) {
    const Grammars g = load_grammars(grammar_subset(d, c.present));
    EXPECT_EQ(g.ast_available, c.ast) << c.present.size();
    EXPECT_EQ(static_cast<bool>(g.go), c.go) << c.present.size();
    if (!c.failing) {
      EXPECT_EQ(g.warning(), "");
    } else {
      EXPECT_TRUE(g.warning().starts_with("[warn] tree-sitter not available, falling back to regex: ")) << g.warning();
      EXPECT_NE(g.warning().find(c.failing), std::string::npos) << g.warning();
      EXPECT_TRUE(extract_symbols_ts_ast("function f() {}", "f.ts", ".ts", g).empty());
      EXPECT_TRUE(extract_imports_py_ast("import os", "f.py", g).empty());
    }
  }
  // A file that is no grammar counts as a missing one.
  const std::string broken = grammar_subset(d, {"typescript", "tsx", "javascript", "go"});
  d.write(fs::name(broken) + "/python.so", "not a shared object");
  EXPECT_FALSE(load_grammars(broken).ast_available);
}

// One small project scanned under each of the three situations.
TEST(Scan, EachGrammarSituationGivesItsGraph) {
  TempDir d, gd;
  d.write("web/page.ts", "import { db } from './db'\nexport function Page() {}\nconst helper = () => {}\n");
  d.write("api/app.py", "import os\ndef handler():\n    pass\n");
  d.write("svc/main.go", "package svc\nimport \"fmt\"\nfunc Serve() {}\n");
  struct Case {
    Strings present;
    bool ast_mode;
    Strings symbols;
    Strings edges;
  };
  const Case cases[] = {
      {kAll, true, {"web/page.ts::Page", "web/page.ts::helper", "svc/main.go::Serve", "api/app.py::handler"},
       {"web/page.ts imports ./db", "svc/main.go imports fmt", "api/app.py imports os"}},
      // Go alone missing: no Go symbols, its imports by pattern.
      {{"typescript", "tsx", "javascript", "python"}, true,
       {"web/page.ts::Page", "web/page.ts::helper", "api/app.py::handler"},
       {"web/page.ts imports ./db", "svc/main.go imports fmt", "api/app.py imports os"}},
      // The regex scanner's extractors and the import patterns for everything.
      {{"typescript", "javascript", "python", "go"}, false, {"web/page.ts::Page", "api/app.py::handler"},
       {"web/page.ts imports ./db", "svc/main.go imports fmt", "api/app.py imports os"}},
  };
  for (const auto& c : cases) {
    const Grammars g = load_grammars(grammar_subset(gd, c.present));
    lexscan::Graph graph = scan_graph(d.path(), nullptr, 2, g);
    Strings symbols;
    for (const auto& n : graph.nodes)
      if (n.kind == "symbol") symbols.push_back(n.id);
    std::sort(symbols.begin(), symbols.end());
    Strings expected = c.symbols;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(symbols, expected) << c.present.size();
    Strings edges = relations(graph);
    std::sort(edges.begin(), edges.end());
    expected = c.edges;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(edges, expected) << c.present.size();
    EXPECT_EQ(std::move(graph).to_json()["ast_mode"].as_bool(), c.ast_mode);
  }
}

TEST(Scan, SelectsItsOwnFiles) {
  TempDir d, outside;
  outside.write("o.ts", "export function outside() {}\n");
  d.write("out/kept.go", "package x\n");            // entered here, skipped by the regex scanner
  d.write("coverage/notes.md", "# notes\n");
  d.write("node_modules/n.ts", "");
  d.write("win/App.cs", "class A {}");               // no C#, XAML or PHP here
  d.write("win/App.xaml", "<x/>");
  d.write("a.php", "<?php function f() {}");
  d.write("README.MD", "# read me\n");
  d.write("src/real.ts", "");
  d.link(outside / "o.ts", "src/linked_out.ts");    // a linked file leaving the project
  d.link(outside.path(), "src/linked_dir");          // a linked directory leaving it
  d.link("../src", "src/loop");                      // a directory on its own way down
  d.link("real.ts", "src/alias.ts");                 // inside: reached twice, one id
  d.link("gone.ts", "src/dangling.ts");
  ASSERT_EQ(::mkfifo((d / "src/pipe.ts").c_str(), 0644), 0);
  Strings files = walk_files(d.path());
  for (auto& f : files) f = fs::relpath(f, d.path());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (Strings{"README.MD", "coverage/notes.md", "out/kept.go", "src/alias.ts", "src/real.ts"}));
  EXPECT_EQ(ids(scan_graph(d.path(), nullptr, 1, all_grammars())).size(), 5u);
}

TEST(Scan, ReadsWholeTextsButStoresTheirHead) {
  TempDir d;
  d.write("exact.ts", "export function big() {}\n" + std::string(300000 - 26, '/') + "\n");
  d.write("over.ts", "export function big2() {}\n" + std::string(300001 - 27, '/') + "\n");
  d.write("late.ts", "// " + std::string(30000, 'x') + "\nexport function late() {}\n");
  d.write("cr.py", "def a():\r    pass\rimport os\r");
  d.write("bin.ts", std::string("\x00\x01\xff\xfe" "export function f() {}\x00\n\x80", 29));
  lexscan::Graph g = scan_graph(d.path(), nullptr, 1, all_grammars());
  auto n = by_id(g);
  EXPECT_TRUE(n.contains("exact.ts::big"));
  EXPECT_FALSE(n.contains("over.ts"));
  ASSERT_TRUE(n.contains("late.ts::late"));  // past the stored content's end
  EXPECT_EQ(text::length(n["late.ts"]->content), MAX_CONTENT_CHARS);
  EXPECT_EQ(n["late.ts"]->keywords, (Strings{"late"}));
  ASSERT_TRUE(n.contains("cr.py::a"));
  EXPECT_EQ(n["cr.py"]->content, "def a():\n    pass\nimport os\n");
  EXPECT_EQ(n["cr.py::a"]->line_end, 1);
  EXPECT_TRUE(n.contains("bin.ts::f"));
}

TEST(Scan, AnyThreadCountWritesTheSameFile) {
  TempDir d;
  for (int i = 0; i < 40; ++i) {
    const std::string n = std::to_string(i), dir = std::string("d").append(std::to_string(i % 5)).append("/");
    d.write(dir + "routes" + n + ".ts", std::string("import a from 'a") + n + "'\nexport function R" + n + "() {}\n");
    d.write(dir + "m" + n + ".py", std::string("from x import y\nclass M") + n + ":\n    pass\n");
  }
  d.write("d1/routes.ts", "");
  d.write("d1/middleware.ts", "");
  const std::string one = scan_graph(d.path(), nullptr, 1, all_grammars()).serialise();
  for (unsigned threads : {2u, 7u}) EXPECT_EQ(scan_graph(d.path(), nullptr, threads, all_grammars()).serialise(), one);
  // Rendered on the threads as they go, the file is the same.
  TempDir out;
  lexscan::write_graph(scan_graph(d.path(), nullptr, 2, all_grammars(), lexscan::Render::ForWriting), out / "g.json");
  EXPECT_EQ(out.read("g.json"), one);
  // The file is the regex scanner's layout with the mode after the edges.
  json::Value parsed = json::parse(one);
  EXPECT_EQ(parsed.as_object().members().back().key, "ast_mode");
  EXPECT_EQ(json::dumps(parsed, {.indent = 2}), one);
}

// A text is parsed once; its copies take what that parse gave.
TEST(Scan, CopiesOfOneTextHaveTheirOwnIds) {
  TempDir d;
  for (const char* name : {"a.ts", "b/a.ts", "c.ts"}) d.write(name, "import x from 'x'\nexport class Cart {}\n");
  const lexscan::Graph g = scan_graph(d.path(), nullptr, 1, all_grammars());
  Strings nodes = ids(g), edges = relations(g, "");
  std::sort(nodes.begin(), nodes.end());
  std::sort(edges.begin(), edges.end());
  EXPECT_EQ(nodes, (Strings{"a.ts", "a.ts::Cart", "b/a.ts", "b/a.ts::Cart", "c.ts", "c.ts::Cart"}));
  EXPECT_EQ(edges, (Strings{"a.ts contains a.ts::Cart", "a.ts imports x", "b/a.ts contains b/a.ts::Cart",
                            "b/a.ts imports x", "c.ts contains c.ts::Cart", "c.ts imports x"}));
}

TEST(Scan, ReusesUnchangedNodes) {
  TempDir d;
  d.write("a.ts", "export function a() {}\n");
  d.write("b.py", "def b():\n    pass\n");
  json::Value first = scan(d.path(), nullptr, 1, all_grammars());
  json::Object reuse;
  for (const auto& n : first["nodes"].as_array())
    if (n["kind"].as_string() == "file") reuse.set(n["id"].as_string(), n);
  reuse.find("a.ts")->as_object().set("summary", "kept from before");
  reuse.find("b.py")->as_object().set("summary", "stale");
  d.write("b.py", "def b2():\n    pass\n");
  lexscan::Graph g = scan_graph(d.path(), &reuse, 1, all_grammars());
  auto n = by_id(g);
  EXPECT_EQ(n["a.ts"]->summary, "kept from before");
  EXPECT_EQ(n["b.py"]->summary, "Handles b. Contains 1 function: b2.");
  EXPECT_TRUE(n.contains("a.ts::a"));  // symbols are extracted again either way
}

// A rescan through the scan cache writes what a scan without it writes from
// the same earlier graph; a cache left by another set of grammars is not used.
TEST(Scan, RescansThroughTheCacheAsWithoutIt) {
  TempDir d, gd;
  d.write("p/x.ts", "export function X() {}\n");
  d.write("p/y.go", "package y\nfunc Y() {}\n");
  d.write("p/z.py", "import os\ndef z():\n    pass\n");
  const std::string root = d / "p", out = d.mkdir("o") + "/info_graph.json";
  const Grammars without_go = load_grammars(grammar_subset(gd, {"typescript", "tsx", "javascript", "python"}));
  struct Step {
    const char* what;
    const Grammars& g;
    const char* go_text;  // y.go's text, or nullptr to leave it
    size_t read;          // files the rescan reads
  };
  const Step steps[] = {{"first", all_grammars(), nullptr, 3},
                        {"unchanged", all_grammars(), nullptr, 0},
                        {"one edited", all_grammars(), "package y\nfunc Y2() {}\n", 1},
                        {"other grammars", without_go, nullptr, 3}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    if (s.go_text) d.write("p/y.go", s.go_text);
    json::Object reuse = lexscan::load_reuse_map(out);
    const std::string expected = scan_graph(root, &reuse, 1, s.g).serialise();
    const lexscan::RescanResult r = rescan(root, out, s.g);
    EXPECT_EQ(slurp(out), expected);
    EXPECT_EQ(r.files_read, s.read);
    // As if the scan had begun an hour later: the files it read count as settled.
    std::optional<lexscan::ScanCache> c = lexscan::decode_scan_cache(slurp(lexscan::scan_cache_path(out)));
    ASSERT_TRUE(c);
    c->began_ns += 3600LL * 1000000000;
    lexscan::save_scan_cache(lexscan::scan_cache_path(out), *c);
  }
}

TEST(Peers, PairFilesOfOneDirectoryByStem) {
  const std::pair<Strings, Strings> cases[] = {
      {{"api/routes.ts", "api/middleware.ts"},
       {"api/routes.ts structural_peer api/middleware.ts", "api/middleware.ts structural_peer api/routes.ts"}},
      {{"api/user.routes.ts", "api/user.middleware.ts"}, {}},
      {{"auth.py", "guards.py", "policies.py"},
       {"auth.py structural_peer guards.py", "guards.py structural_peer auth.py", "auth.py structural_peer policies.py",
        "policies.py structural_peer auth.py"}},
      {{"m/Model.ts", "m/schema.ts"}, {"m/Model.ts structural_peer m/schema.ts", "m/schema.ts structural_peer m/Model.ts"}},
      {{"a/service.ts", "b/service.ts", "a/x.ts", "b/repository.ts"},
       {"b/service.ts structural_peer b/repository.ts", "b/repository.ts structural_peer b/service.ts"}},
      {{"routes.ts", "src/middleware.ts", "deps.py"}, {"routes.ts structural_peer deps.py", "deps.py structural_peer routes.ts"}},
      {{"x/handler.go", "x/router.go", "x/middlewares.go"},
       {"x/handler.go structural_peer x/router.go", "x/router.go structural_peer x/handler.go",
        "x/handler.go structural_peer x/middlewares.go", "x/middlewares.go structural_peer x/handler.go",
        "x/router.go structural_peer x/middlewares.go", "x/middlewares.go structural_peer x/router.go"}},
      {{"v/bad\xff.ts", "v/schemas.ts", "v/views"}, {"v/schemas.ts structural_peer v/views", "v/views structural_peer v/schemas.ts"}},
      // An undecodable byte in the extension leaves the stem whole.
      {{"w/routes.\xff", "w/guard.ts"}, {"w/routes.\xff structural_peer w/guard.ts", "w/guard.ts structural_peer w/routes.\xff"}},
  };
  for (const auto& [file_ids, expected] : cases) {
    Strings got;
    for (const auto& e : structural_peer_edges(file_ids)) got.push_back(e.from + " " + e.rel + " " + e.to);
    EXPECT_EQ(got, expected) << file_ids[0];
  }
}

TEST(Compare, ReportsBothScannersSideBySide) {
  TempDir d, out;
  d.mkdir("shop");
  const std::string root = d / "shop";
  d.write("shop/a.ts", "export function Only() {}\nexport const OrderSchema = z.object({})\n");
  d.write("shop/it's.py", "class K:\n    def meth(self):\n        pass\n");
  std::string report;
  compare(root, out / "info_graph.json", out / "info_graph_regex.json", [&](std::string_view s) { report += s; },
          all_grammars());
  const std::string rule2 = "\u2550", rule = "\u2500";
  auto times = [](int n, const std::string& s) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
  };
  const std::regex time_row("  Scan time \\(s\\) {22} +[0-9]+\\.[0-9]{2} +[0-9]+\\.[0-9]{2}\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(report, m, time_row)) << report;
  EXPECT_EQ(m.length(0), 2 + 35 + 1 + 10 + 1 + 10 + 1);
  report.replace(m.position(0), m.length(0), "<time>\n");
  EXPECT_EQ(report, std::string("\n").append(times(60, rule2)) + "\n  Comparing AST vs Regex on: shop\n" + times(60, rule2) + "\n\n" +
                        times(60, rule) + "\n  Metric                                     AST      Regex\n" +
                        times(60, rule) + "\n<time>\n" +
                        "  Files indexed                                2          2\n"
                        "  Symbols extracted                            3          3\n"
                        "  Edges (imports/refs)                         3          3\n"
                        "\n  Symbol breakdown:\n"
                        "  Type                                       AST      Regex\n  " + times(55, rule) + "\n" +
                        "  model                                        1          2\n"
                        "  use_case                                     2          1\n"
                        "\n  Symbols found ONLY by AST (1 total): [\"it's.py::meth\"]\n"
                        "  Symbols found ONLY by Regex (1 total): ['a.ts::OrderSchema']\n"
                        "\n  AST graph:   " + fs::pure(out / "info_graph.json") + "\n" +
                        "  Regex graph: " + fs::pure(out / "info_graph_regex.json") + "\n\n");
  EXPECT_EQ(json::parse(slurp(out / "info_graph.json"))["ast_mode"].as_bool(), true);
  EXPECT_EQ(json::parse(slurp(out / "info_graph_regex.json"))["symbol_count"].as_int(), 3);
  EXPECT_FALSE(fs::exists(out / "symbol_index.json"));
}

// Samples are ordered by code point: a name's undecodable byte (U+DC80..U+DCFF)
// sorts after CJK and before the private-use area, not by its raw byte.
TEST(Compare, SamplesInCodePointOrder) {
  TempDir d, out;
  for (const char* name : {"\xee\x80\x80.go", "\x80.go", "\xe4\xb8\xad.go", "a.go"})
    d.write(name, "package p\nfunc F() {}\n");
  std::string report;
  compare(d.path(), out / "g.json", out / "r.json", [&](std::string_view s) { report += s; }, all_grammars());
  EXPECT_NE(report.find("(4 total): ['a.go::F', '\xe4\xb8\xad.go::F', '\x80.go::F', '\xee\x80\x80.go::F']\n"),
            std::string::npos)
      << report;
}

// The command, run as a user runs it, with the grammars of `grammars`.
testkit::Output treescan(const std::vector<std::string>& args, const std::string& grammars) {
  const char* was = std::getenv("KESTRUNE_GRAMMARS");
  const std::optional<std::string> saved = was ? std::optional<std::string>(was) : std::nullopt;
  ::setenv("KESTRUNE_GRAMMARS", grammars.c_str(), 1);
  testkit::Output o = testkit::run_command("treescan", args);
  if (saved) ::setenv("KESTRUNE_GRAMMARS", saved->c_str(), 1);
  else ::unsetenv("KESTRUNE_GRAMMARS");
  return o;
}

TEST(Command, ReportsModeFilesAndIndex) {
  TempDir d, gd;
  d.write("p/x.ts", "export function X() {}\n");
  d.write("p/y.go", "package y\nfunc Y() {}\n");
  const Strings args = {"--root", d / "p", "--out", d / "o//g/./info_graph.json"};
  const std::string tail = "Wrote: " + d.path() + "/o/g/info_graph.json\nSymbol index: " + d.path() +
                           "/o/g/symbol_index.json (";
  testkit::Output r = treescan(args, grammar_folder());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[AST] 2 files, 2 symbols, 2 edges\n" + tail + "2 symbols)\n");
  // Go alone missing: nothing said, no Go symbol.
  r = treescan(args, grammar_subset(gd, {"typescript", "tsx", "javascript", "python"}));
  EXPECT_EQ(r.out, "[AST] 2 files, 1 symbols, 1 edges\n" + tail + "1 symbols)\n");
  const std::string go_only = grammar_subset(gd, {"go"});
  r = treescan(args, go_only);
  EXPECT_EQ(r.out, "[warn] tree-sitter not available, falling back to regex: " + go_only +
                       "/typescript.so: cannot open shared object file: No such file or directory\n"
                       "[regex-fallback] 2 files, 1 symbols, 1 edges\n" + tail + "1 symbols)\n");
  // A malformed earlier graph only means a full scan; a bad option exits 2.
  d.write("o/g/info_graph.json", "[1, 2");
  EXPECT_EQ(treescan(args, grammar_folder()).status, 0);
  EXPECT_EQ(treescan({"--nope"}, grammar_folder()).status, 2);
  d.write("file", "");
  r = treescan({"--root", d / "p", "--out", d / "file/g.json"}, grammar_folder());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("treescan: error: ")) << r.err;
  // A root that is no directory would give an empty graph: refused before anything is written.
  for (bool compare : {false, true}) {
    Strings bad_root = {"--root", d / "file", "--out", d / "none/g.json"};
    if (compare) bad_root.push_back("--compare");
    r = treescan(bad_root, grammar_folder());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "treescan: error: project root is not a directory: " + (d / "file") + "\n");
    EXPECT_FALSE(fs::exists(d / "none"));
  }
}

}  // namespace
}  // namespace kestrune::treescan
