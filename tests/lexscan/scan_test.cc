#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "common/testkit.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/scan.h"

namespace kestrune::lexscan {
namespace {

using testkit::slurp;
using testkit::TempDir;

std::string data_dir() { return testkit::source_path("tests/lexscan/data"); }

std::map<std::string, const json::Value*> by_id(const json::Value& graph) {
  std::map<std::string, const json::Value*> out;
  for (const auto& n : graph["nodes"].as_array()) out[n["id"].as_string()] = &n;
  return out;
}

// The text the one writer puts in a graph file.
std::string written_text(const Graph& g) {
  TempDir d;
  write_graph(g, d / "g.json");
  return slurp(d / "g.json");
}

TEST(Scan, GoldenProjectIsByteExactWithAnyThreadCountRenderedOrNot) {
  const std::string root = data_dir() + "/golden";
  const std::string golden = slurp(data_dir() + "/golden_graph.json");
  const std::string index = slurp(data_dir() + "/golden_index.json");
  for (unsigned threads : {1u, 2u, 7u}) {
    for (Render render : {Render::No, Render::ForWriting}) {
      Graph g = scan_graph(root, nullptr, threads, render);
      EXPECT_EQ(g.root, root);
      g.root = ".";
      EXPECT_EQ(json::dumps(g.symbol_index()), index) << threads;
      EXPECT_EQ(written_text(g), golden) << threads;
      EXPECT_EQ(g.serialise(), golden) << threads;
      if (render == Render::No)
        EXPECT_EQ(json::dumps(std::move(g).to_json(), {.indent = 2}), golden) << threads;
      else
        EXPECT_THROW(std::move(g).to_json(), std::logic_error);  // its contents went into the text
    }
  }
  json::Value record = scan(root);
  EXPECT_EQ(record["root"].as_string(), root);
  record.as_object().set("root", ".");
  EXPECT_EQ(json::dumps(record, {.indent = 2}), golden);

  // The edges' end, with and without the syntax-tree scanner's flag after it.
  Graph small{.root = "r", .edges = {{"a", "b", "imports"}}};
  EXPECT_EQ(small.serialise(), json::dumps(Graph(small).to_json(), {.indent = 2}));
  for (bool ast : {true, false}) {
    Graph flagged{.root = "r", .ast_mode = ast};
    EXPECT_EQ(written_text(flagged), json::dumps(Graph(flagged).to_json(), {.indent = 2}));
    flagged.edges = small.edges;
    EXPECT_EQ(written_text(flagged), json::dumps(Graph(flagged).to_json(), {.indent = 2}));
  }

  TempDir empty;
  EXPECT_EQ(written_text(scan_graph(empty.path(), nullptr, 0, Render::ForWriting)), Graph{.root = empty.path()}.serialise());
  empty.write("only.md", "");
  EXPECT_EQ(written_text(scan_graph(empty.path(), nullptr, 0, Render::ForWriting)), scan_graph(empty.path()).serialise());
}

class ScanTraps : public ::testing::Test {
 protected:
  void SetUp() override {
    d.write("bin.ts", std::string("\x00\x01\xff\xfe" "export function f() {}\x00\n\x80", 29));
    d.write("cr.py", "def a():\r    pass\rdef b():\r    pass\r");
    d.write("crlf.md", "one\r\ntwo\r\n");
    d.write("lf.md", "one\ntwo\n");
    d.write("exact.md", std::string(300000, 'a'));
    d.write("over.md", std::string(300001, 'a'));
    d.write("empty.ts", "");
    d.write("caf\xc3\xa9/\xe2\x9c\x93.md", "\xc3\xbcn\xc3\xaf");
    d.write("bom.py", "\xef\xbb\xbf" "def f():\n    pass\n");
    d.write("late.ts", std::string(24000, '/') + "\nexport function late() {}\n");
    graph = scan(d.path());
    nodes = by_id(graph);
  }
  std::string hash(const std::string& id) { return (*nodes.at(id))["file_hash"].as_string(); }
  std::string content(const std::string& id) { return (*nodes.at(id))["content"].as_string(); }

  TempDir d;
  json::Value graph;
  std::map<std::string, const json::Value*> nodes;
};

TEST_F(ScanTraps, EachOddFileGetsItsDocumentedResult) {
  EXPECT_EQ(graph["file_count"].as_int(), 9);
  EXPECT_FALSE(nodes.contains("over.md"));
  EXPECT_EQ(hash("exact.md"), "92712d77");
  EXPECT_EQ(text::length(content("exact.md")), 24000u);
  // Undecodable bytes vanish, NULs stay; the line start is not at "export".
  EXPECT_EQ(hash("bin.ts"), "9c0c55c8");
  EXPECT_EQ(content("bin.ts"), std::string("\x00\x01" "export function f() {}\x00\n", 26));
  EXPECT_FALSE(nodes.contains("bin.ts::f"));
  // Carriage returns alone and in pairs become line feeds.
  EXPECT_EQ(hash("cr.py"), "e4688292");
  EXPECT_TRUE(nodes.contains("cr.py::a") && nodes.contains("cr.py::b"));
  EXPECT_EQ(hash("crlf.md"), hash("lf.md"));
  EXPECT_EQ(content("crlf.md"), content("lf.md"));
  EXPECT_EQ((*nodes.at("crlf.md"))["size"].as_int(), 10);
  // A byte-order mark stays in the text, so the definition is not at a line start.
  EXPECT_EQ(hash("bom.py"), "39c0d087");
  EXPECT_FALSE(nodes.contains("bom.py::f"));
  EXPECT_EQ(hash("empty.ts"), "d41d8cd9");
  EXPECT_EQ(hash("caf\xc3\xa9/\xe2\x9c\x93.md"), "3241a66f");
  EXPECT_EQ((*nodes.at("caf\xc3\xa9/\xe2\x9c\x93.md"))["summary"].as_string(), "Handles caf\xc3\xa9 \xe2\x9c\x93.");
  // Past the cut: a file node but no symbol; the fingerprint covers the whole file.
  EXPECT_EQ(hash("late.ts"), "fd0c76c4");
  EXPECT_FALSE(nodes.contains("late.ts::late"));
}

TEST_F(ScanTraps, TypedWriterMatchesTheJsonWriter) {
  Graph g = scan_graph(d.path(), nullptr, 1);
  std::string typed = g.serialise();
  EXPECT_EQ(typed, json::dumps(std::move(g).to_json(), {.indent = 2}));
  EXPECT_EQ(written_text(scan_graph(d.path(), nullptr, 2, Render::ForWriting)), typed);
}

TEST_F(ScanTraps, UnreadableFilesAreSkippedSilently) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads everything";
  chmod((d / "lf.md").c_str(), 0);
  json::Value again = scan(d.path());
  chmod((d / "lf.md").c_str(), 0644);
  EXPECT_FALSE(by_id(again).contains("lf.md"));
}

TEST_F(ScanTraps, ReuseTakesEarlierKeywordsSummaryAndContent) {
  json::Object reuse;
  for (const auto& n : graph["nodes"].as_array())
    if (n["kind"].as_string() == "file") reuse.set(n["id"].as_string(), n);
  EXPECT_EQ(json::dumps(scan(d.path(), &reuse)), json::dumps(graph));

  // An entry whose fingerprint matches is trusted as it stands...
  json::Object& lf = reuse.find("lf.md")->as_object();
  lf.set("summary", "From before.");
  lf.set("keywords", json::Array{"kept"});
  lf.erase("content");
  // ...one whose fingerprint differs is rebuilt.
  reuse.find("crlf.md")->as_object().set("file_hash", "00000000");
  reuse.find("crlf.md")->as_object().set("summary", "stale");
  auto again = scan(d.path(), &reuse);
  auto n = by_id(again);
  EXPECT_EQ((*n.at("lf.md"))["summary"].as_string(), "From before.");
  EXPECT_EQ(json::dumps((*n.at("lf.md"))["keywords"]), R"(["kept"])");
  EXPECT_EQ((*n.at("lf.md"))["content"].as_string(), "one\ntwo\n");
  EXPECT_EQ((*n.at("crlf.md"))["summary"].as_string(), "Handles crlf.");

  // Wrongly typed fields cannot be trusted: rebuilt. A nameless entry is an error.
  lf.set("size", "big");
  EXPECT_EQ((*by_id(scan(d.path(), &reuse)).at("lf.md"))["summary"].as_string(), "Handles lf.");
  lf.erase("id");
  EXPECT_THROW(scan(d.path(), &reuse), std::out_of_range);
}

TEST(ScanReuseMap, BrokenEarlierGraphsGiveAnEmptyMap) {
  TempDir d;
  auto load = [&](const std::string& text) {
    d.write("g.json", text);
    return load_reuse_map(d / "g.json").size();
  };
  EXPECT_EQ(load_reuse_map(d / "missing.json").size(), 0u);
  EXPECT_EQ(load("{not json"), 0u);
  EXPECT_EQ(load("[1, 2]"), 0u);
  EXPECT_EQ(load("{}"), 0u);
  EXPECT_EQ(load("\xef\xbb\xbf{\"nodes\": [{\"id\": \"a\", \"kind\": \"file\"}, {\"id\": \"a::f\", \"kind\": \"symbol\"}]}"),
            1u);
  EXPECT_EQ(load("{\"nodes\": [{\"id\": \"a\", \"kind\": \"file\"}, 3]}"), 0u);
  EXPECT_EQ(load("{\"nodes\": [{\"id\": \"a\", \"kind\": \"file\"}, {\"kind\": \"file\"}]}"), 0u);
  EXPECT_EQ(load("{\"nodes\": {\"a\": 1}}"), 0u);
  EXPECT_EQ(load("{\"nodes\": [{\"id\": \"a\", \"kind\": \"file\"}, {\"id\": \"a\", \"kind\": \"file\", \"x\": 1}]}"), 1u);
  EXPECT_EQ(load("\xff{}"), 0u);
  // Read as json.loads reads it, whatever the document holds past the nodes.
  const std::string a = R"({"id": "a", "kind": "file"})", b = R"({"id": "b", "kind": "file"})";
  EXPECT_EQ(load(R"({"nodes": [)" + a + R"(], "edges": [1,]})"), 0u);
  EXPECT_EQ(load(R"({"nodes": [)" + a + R"(]} [])"), 0u);
  EXPECT_EQ(load(R"({"nodes": [)" + a + R"(], "edges": [NaN, 1e999, 123456789012345678901234567890]})"), 1u);
  EXPECT_EQ(load(R"({"nodes": [)" + a + R"(], "nodes": [)" + a + "," + b + "]}"), 2u);
  EXPECT_EQ(load(R"({"nodes": [{"kind": "file", "id": "a", "kind": "symbol"}, )" + b + "]}"), 1u);
  EXPECT_EQ(load(R"({"nodes": [{"id": 1, "kind": "file"}, {"id": "c", "kind": "\u0066ile"}]})"), 1u);
  EXPECT_EQ(load("\xef\xbb\xbf\xef\xbb\xbf{}"), 0u);
}

// ---- the command ----------------------------------------------------------

// lexscan with the space-separated words of `args`, run in `cwd`.
testkit::Output run(const std::string& args, const std::string& cwd) {
  std::vector<std::string> words;
  for (std::string_view w : text::split(args)) words.emplace_back(w);
  return testkit::run_command("lexscan", words, cwd);
}

TEST(Command, ScansWritesAndReportsTwiceAlike) {
  TempDir d;
  d.write("proj/a.ts", "export function useThing() {\n  return 1;\n}\n");
  d.write("proj/b.py", "import os\n");
  testkit::Output first = run("--root proj", d.path());
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out,
            "Scanned: 2 files, 1 symbols, 2 edges\n"
            "Wrote: braid-dashboard/data/info_graph.json\n"
            "Symbol index: braid-dashboard/data/symbol_index.json (1 symbols)\n");
  EXPECT_EQ(first.err, "");
  std::string graph = slurp(d / "braid-dashboard/data/info_graph.json");
  EXPECT_NE(graph.find("\"root\": \"" + fs::resolve(d / "proj") + "\""), std::string::npos);
  testkit::Output second = run("--root=proj", d.path());
  EXPECT_EQ(second.out, first.out);
  EXPECT_EQ(slurp(d / "braid-dashboard/data/info_graph.json"), graph);

  testkit::Output odd = run("--ro proj --out .//x//g.json", d.path());
  EXPECT_EQ(odd.out, "Scanned: 2 files, 1 symbols, 2 edges\nWrote: x/g.json\nSymbol index: x/symbol_index.json (1 symbols)\n");

  d.mkdir("empty");
  d.write("bad/g.json", "[not a graph");
  testkit::Output empty = run("--root empty --out bad/g.json", d.path());
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "Scanned: 0 files, 0 symbols, 0 edges\nWrote: bad/g.json\nSymbol index: bad/symbol_index.json (0 symbols)\n");
  EXPECT_EQ(slurp(d / "bad/symbol_index.json"), "{}");
}

// An empty graph of a mistyped root would replace the real one: the scan refuses it.
TEST(Command, ARootThatIsNoDirectoryFailsAndWritesNothing) {
  TempDir d;
  d.write("a.ts", "export const a = 1\n");
  d.write("g/info_graph.json", "the earlier graph");
  for (std::string root : {"missing", "a.ts", "missing/../a.ts"}) {
    for (std::string out : {"g/info_graph.json", "new/info_graph.json"}) {
      testkit::Output r = run("--root " + root + " --out " + out, d.path());
      EXPECT_EQ(r.status, 1) << root;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "lexscan: error: project root is not a directory: " + fs::resolve(d / root) + "\n");
    }
    EXPECT_THROW(scan_graph(d / root), NotAProjectRoot);
  }
  EXPECT_EQ(d.read("g/info_graph.json"), "the earlier graph");
  EXPECT_FALSE(fs::exists(d / "g/symbol_index.json"));
  EXPECT_FALSE(fs::exists(d / "new"));
}

TEST(Command, AFifoNamedByOutIsNoEarlierGraphAndIsReplaced) {
  TempDir d;
  d.write("proj/a.md", "# A\n");
  d.mkdir("g");
  ASSERT_EQ(::mkfifo((d / "g/info_graph.json").c_str(), 0644), 0);
  testkit::Output r = run("--root proj --out g/info_graph.json", d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Scanned: 1 files, 0 symbols, 0 edges\nWrote: g/info_graph.json\n"
                   "Symbol index: g/symbol_index.json (0 symbols)\n");
  EXPECT_TRUE(fs::is_file(d / "g/info_graph.json"));
}

TEST(Command, NamesThatAreNotUtf8AreCarriedAsPythonCarriesThem) {
  // Python holds such a name as os.fsdecode gives it (x\xff.md is 'x\udcff.md')
  // and json.dumps writes that str as "x\udcff.md".
  TempDir d;
  d.write("proj/x\xff.md", "");
  d.write("proj/d\xc3(/a.py", "def f():\n    pass\n");
  d.write("proj/s\xe9.ts", "export function useOdd() {\n}\n");
  testkit::Output o = run("--root proj --out g/info_graph.json", d.path());
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "Scanned: 3 files, 2 symbols, 2 edges\nWrote: g/info_graph.json\n"
                   "Symbol index: g/symbol_index.json (2 symbols)\n");
  const std::string graph = slurp(d / "g/info_graph.json");
  for (const char* line : {R"("id": "x\udcff.md",)", R"("summary": "Handles x\udcff.",)", R"("id": "d\udcc3(/a.py",)",
                           R"("id": "d\udcc3(/a.py::f",)", R"("summary": "Handles d\udcc3( a. Contains 1 function: f.",)",
                           R"("id": "s\udce9.ts::useOdd",)", R"("path": "s\udce9.ts",)"})
    EXPECT_NE(graph.find(line), std::string::npos) << line;
  EXPECT_NE(graph.find(R"("from": "d\udcc3(/a.py",)"), std::string::npos);
  const std::string index = slurp(d / "g/symbol_index.json");
  EXPECT_NE(index.find(R"("s\udce9.ts::useOdd": {"line_start": 0, "line_end": 1, "body_hash": "45e1941b", )"
                       R"("confidence": "high", "path": "s\udce9.ts"})"),
            std::string::npos)
      << index;
  // Read back, the ids are the names' bytes again.
  const json::Value g = json::parse(graph);
  EXPECT_TRUE(by_id(g).contains("d\xc3(/a.py::f"));
  EXPECT_EQ(json::dumps(g, {.indent = 2}), graph);
  // A second scan reuses those nodes: the earlier graph's ids name the files.
  EXPECT_EQ(run("--root proj --out g/info_graph.json", d.path()).out, o.out);
  EXPECT_EQ(slurp(d / "g/info_graph.json"), graph);
}

TEST(Command, HelpAndUsageErrors) {
  TempDir d;
  testkit::Output help = run("--root x -h", d.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out,
            "usage: lexscan [-h] [--root ROOT] [--out OUT]\n\n"
            "Scan project and build information graph JSON.\n\n"
            "options:\n"
            "  -h, --help   show this help message and exit\n"
            "  --root ROOT  Project root to scan.\n"
            "  --out OUT    Output JSON path.\n");
  const std::string usage = "usage: lexscan [-h] [--root ROOT] [--out OUT]\n";
  testkit::Output missing = run("--root", d.path());
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, usage + "lexscan: error: argument --root: expected one argument\n");
  EXPECT_EQ(run("--out --root x", d.path()).err, usage + "lexscan: error: argument --out: expected one argument\n");
  testkit::Output extra = run("stray --bogus -- more", d.path());
  EXPECT_EQ(extra.status, 2);
  EXPECT_EQ(extra.err, usage + "lexscan: error: unrecognized arguments: stray --bogus -- more\n");
  EXPECT_EQ(extra.out, "");
  d.mkdir("-5");
  EXPECT_EQ(run("--root -5 --out=o/g.json", d.path()).status, 0);  // a negative number is a value
  EXPECT_EQ(run("-hx", d.path()).err, usage + "lexscan: error: argument -h/--help: ignored explicit argument 'x'\n");
}

TEST(Command, UnwritableOutputFailsInOneLineAndLeavesNoHalfFile) {
  TempDir d;
  d.write("proj/a.md", "# A readme of some length\n");
  d.write("blocker", "a file where a directory should be");
  testkit::Output r = run("--root proj --out blocker/g.json", d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("lexscan: error: ")) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_EQ(slurp(d / "blocker"), "a file where a directory should be");

  d.mkdir("out/info_graph.json");  // the graph path is a directory
  testkit::Output dir = run("--root proj --out out/info_graph.json", d.path());
  EXPECT_EQ(dir.status, 1);
  EXPECT_FALSE(fs::exists(d / "out/symbol_index.json"));
}

}  // namespace
}  // namespace kestrune::lexscan
