#include <gtest/gtest.h>

#include "kestrune/lexscan/graph.h"
#include "kestrune/lexscan/lexscan.h"
#include "common/testkit.h"

namespace kestrune::lexscan {
namespace {

using testkit::slurp;
using testkit::TempDir;

std::vector<std::string> keys(const json::Value& v) {
  std::vector<std::string> out;
  for (const auto& m : v.as_object()) out.push_back(m.key);
  return out;
}

Symbol symbol(const std::string& file, const std::string& name, int start, int end) {
  Symbol s;
  s.id = file + "::" + name;
  s.name = name;
  s.symbol_type = "use_case";
  s.line_start = start;
  s.line_end = end;
  s.body_hash = "0123abcd";
  s.confidence = "high";
  s.exported = true;
  s.keywords = {name};
  return s;
}

TEST(Graph, FileAndSymbolNodesSerialiseTheirOwnBranch) {
  Node file{.id = "a.ts", .kind = "file", .path = "a.ts", .ext = ".ts", .size = 10, .keywords = {"alpha"},
            .content = "x", .summary = "s.", .file_hash = "deadbeef", .name = "ignored"};
  EXPECT_EQ(keys(file.as_dict()), (std::vector<std::string>{"id", "kind", "path", "ext", "size", "keywords",
                                                             "content", "summary", "file_hash"}));
  Node sym{.id = "a.ts::f", .kind = "symbol", .path = "a.ts", .ext = ".ts", .size = 1, .content = "ignored"};
  EXPECT_EQ(keys(sym.as_dict()),
            (std::vector<std::string>{"id", "kind", "path", "ext", "size", "keywords", "symbol_type", "name",
                                      "line_start", "line_end", "body_hash", "confidence", "exported"}));
  // Any kind but "file" takes the symbol branch; moving out gives the same record.
  Node other = sym;
  other.kind = "weird";
  EXPECT_EQ(keys(other.as_dict()).size(), 13u);
  EXPECT_EQ(Node(file).as_dict(), file.as_dict());
  EXPECT_EQ(json::dumps(std::move(file).as_dict()),
            R"({"id": "a.ts", "kind": "file", "path": "a.ts", "ext": ".ts", "size": 10, "keywords": ["alpha"], )"
            R"("content": "x", "summary": "s.", "file_hash": "deadbeef"})");
}

TEST(Graph, AppendSymbolNodesAddsNodeAndContainsEdgeInOrder) {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  std::vector<Symbol> syms = {symbol("src/a.ts", "one", 4, 4), symbol("src/a.ts", "two", 5, 9)};
  append_symbol_nodes(nodes, edges, std::move(syms), "src/a.ts", ".ts");
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].size, 1);  // declaration and body on one line
  EXPECT_EQ(nodes[1].size, 5);
  EXPECT_EQ(nodes[1].id, "src/a.ts::two");
  EXPECT_EQ(nodes[1].path, "src/a.ts");
  EXPECT_EQ(nodes[1].kind, "symbol");
  EXPECT_TRUE(nodes[1].content.empty() && nodes[1].file_hash.empty());
  EXPECT_EQ(edges, (std::vector<Edge>{{"src/a.ts", "src/a.ts::one", "contains"},
                                      {"src/a.ts", "src/a.ts::two", "contains"}}));
}

TEST(Graph, DedupeKeepsFirstOfEachTriple) {
  std::vector<Edge> edges = {{"a", "b", "imports"}, {"a", "b", "references"}, {"a", "b", "imports"},
                             {"a:", "b", "imports"}, {"a", ":b", "imports"}};
  EXPECT_EQ(dedupe_edges(std::move(edges)),
            (std::vector<Edge>{{"a", "b", "imports"}, {"a", "b", "references"}, {"a:", "b", "imports"},
                               {"a", ":b", "imports"}}));

  json::Array records = json::parse(R"([{"from": "a", "to": "b", "rel": "r", "extra": 1},
                                        {"rel": "r", "to": "b", "from": "a"}, {"from": 1, "to": "b", "rel": "r"}])")
                            .as_array();
  json::Array kept = dedupe_edges(records);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0], records[0]);
  EXPECT_THROW(dedupe_edges(json::parse(R"([{"from": "a", "to": "b"}])").as_array()), std::out_of_range);
}

TEST(Graph, SymbolIndexKeepsFirstPlaceAndLastValues) {
  Graph g;
  auto sym = [](const char* id, int64_t start, int64_t end, const char* hash, const char* confidence) {
    return Node{.id = id, .kind = "symbol", .path = "a.py", .line_start = start, .line_end = end,
                .body_hash = hash, .confidence = confidence};
  };
  g.nodes = {Node{.id = "a.py", .kind = "file"}, sym("a.py::f", 1, 2, "h1", ""), sym("a.py::g", 3, 3, "h2", "high"),
             sym("a.py::f", 7, 8, "h3", "medium")};
  EXPECT_EQ(json::dumps(g.symbol_index()),
            R"({"a.py::f": {"line_start": 7, "line_end": 8, "body_hash": "h3", "confidence": "medium", "path": "a.py"}, )"
            R"("a.py::g": {"line_start": 3, "line_end": 3, "body_hash": "h2", "confidence": "high", "path": "a.py"}})");
}

TEST(Graph, FilesAreAsciiIndentedAndWithoutTrailingNewline) {
  TempDir dir;
  Graph g;
  g.root = "/r";
  g.nodes.push_back({.id = "caf\xc3\xa9.md", .kind = "file", .path = "caf\xc3\xa9.md", .ext = ".md", .size = 3,
                     .content = "\xf0\x9d\x84\x9e\t\x7f/"});
  std::vector<Symbol> syms = {symbol("caf\xc3\xa9.md", "f", 0, 0)};
  append_symbol_nodes(g.nodes, g.edges, std::move(syms), g.nodes[0].id, ".md");
  dir.mkdir("deep/er");
  const std::string out = dir / "deep/er/info_graph.json";
  EXPECT_EQ(write_graph_files(g, out), 1u);
  EXPECT_EQ(slurp(out), R"({
  "root": "/r",
  "node_count": 2,
  "edge_count": 1,
  "file_count": 1,
  "symbol_count": 1,
  "nodes": [
    {
      "id": "caf\u00e9.md",
      "kind": "file",
      "path": "caf\u00e9.md",
      "ext": ".md",
      "size": 3,
      "keywords": [],
      "content": "\ud834\udd1e\t\u007f/",
      "summary": "",
      "file_hash": ""
    },
    {
      "id": "caf\u00e9.md::f",
      "kind": "symbol",
      "path": "caf\u00e9.md",
      "ext": ".md",
      "size": 1,
      "keywords": [
        "f"
      ],
      "symbol_type": "use_case",
      "name": "f",
      "line_start": 0,
      "line_end": 0,
      "body_hash": "0123abcd",
      "confidence": "high",
      "exported": true
    }
  ],
  "edges": [
    {
      "from": "caf\u00e9.md",
      "to": "caf\u00e9.md::f",
      "rel": "contains"
    }
  ]
})");
  EXPECT_EQ(slurp(dir / "deep/er/symbol_index.json"),
            R"({"caf\u00e9.md::f": {"line_start": 0, "line_end": 0, "body_hash": "0123abcd", "confidence": "high", "path": "caf\u00e9.md"}})");
}

TEST(Graph, EmptyGraphHasZeroCountsAndEmptyIndex) {
  TempDir dir;
  write_graph_files(Graph{.root = "x"}, dir / "g.json");
  EXPECT_EQ(slurp(dir / "g.json"),
            "{\n  \"root\": \"x\",\n  \"node_count\": 0,\n  \"edge_count\": 0,\n  \"file_count\": 0,\n"
            "  \"symbol_count\": 0,\n  \"nodes\": [],\n  \"edges\": []\n}");
  EXPECT_EQ(slurp(dir / "symbol_index.json"), "{}");
}

TEST(Graph, SymbolIndexPathRendersLikeAPath) {
  EXPECT_EQ(symbol_index_path("out.json"), "symbol_index.json");
  EXPECT_EQ(symbol_index_path("./a//b/out.json"), "a/b/symbol_index.json");
  EXPECT_EQ(symbol_index_path("/out.json"), "/symbol_index.json");
}

}  // namespace
}  // namespace kestrune::lexscan
