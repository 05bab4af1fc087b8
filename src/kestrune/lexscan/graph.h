// The information graph model: nodes, symbol and edge records, and the two
// files a scan is stored in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrune/base/json.h"

namespace kestrune::lexscan {

// One symbol found by an extractor, before it becomes a node.
struct Symbol {
  std::string id{};  // file id + "::" + name
  std::string name{};
  std::string symbol_type{};
  int64_t line_start = 0;
  int64_t line_end = 0;
  std::string body_hash{};
  std::string confidence{};
  bool exported = false;
  std::vector<std::string> keywords{};

  json::Value to_json() const;  // the symbol record, keys in record order
};

struct Edge {
  std::string from{};
  std::string to{};
  std::string rel{};

  json::Value to_json() const;
  bool operator==(const Edge&) const = default;
};

// One graph node. Fields in record order; a file node uses the first nine,
// a symbol node the first six and the last seven.
struct Node {
  std::string id{};
  std::string kind{};
  std::string path{};
  std::string ext{};
  int64_t size = 0;
  std::vector<std::string> keywords{};
  std::string content{};
  std::string summary{};
  std::string file_hash{};
  std::string symbol_type{};
  std::string name{};
  int64_t line_start = 0;
  int64_t line_end = 0;
  std::string body_hash{};
  std::string confidence{};
  bool exported = false;

  bool is_file() const { return kind == "file"; }
  // The serialised form: nine keys for kind "file", thirteen for any other kind.
  json::Value as_dict() const&;
  json::Value as_dict() &&;  // moves the strings out
  bool operator==(const Node&) const = default;
};

// A scan before serialisation.
struct Graph {
  std::string root{};
  std::vector<Node> nodes{};
  std::vector<Edge> edges{};  // already de-duplicated

  json::Value to_json() &&;
  // The symbol_index.json record of these nodes.
  json::Value symbol_index() const;
  // The info_graph.json text: what json::dumps with indent 2 gives for to_json().
  std::string serialise() &&;
  // Writes that text to `path`, replacing it whole. The text goes out in
  // pieces straight from the nodes, each node released once written, so the
  // graph and its text are never both in memory.
  void write(const std::string& path) &&;
};

// Appends the node as it stands in the graph file, from its opening "    {"
// to its closing "    }", without the separator that follows.
void render_node(std::string& out, const Node& n);

// A scan as the command writes it: each file's nodes are rendered by the
// thread that scanned the file, so writing the graph file is copying text.
struct RenderedGraph {
  std::string root{};
  // Per scanned file, in walk order: its nodes' text, each followed by ",\n".
  std::vector<std::string> pieces{};
  size_t node_count = 0;
  size_t symbol_count = 0;
  std::vector<Node> symbols{};  // what the symbol index needs
  std::vector<Edge> edges{};    // already de-duplicated

  json::Value symbol_index() const;
  // Writes the info_graph.json text at `path`, replacing it whole: the same
  // text Graph::write gives for the same scan.
  void write(const std::string& path) &&;
};

json::Value string_list(const std::vector<std::string>& items);

// Appends one symbol node and one "contains" edge per symbol, in order.
void append_symbol_nodes(std::vector<Node>& nodes, std::vector<Edge>& edges,
                         std::vector<Symbol>&& syms, const std::string& file_id,
                         const std::string& ext);

// Keeps the first edge of every (from, to, rel) triple, order preserved.
std::vector<Edge> dedupe_edges(std::vector<Edge>&& edges);
// The same over edge records; a record without one of the three keys throws
// std::out_of_range. Other keys play no part.
json::Array dedupe_edges(const json::Array& edges);

// Where the symbol index of the graph file `out` goes, rendered as a path.
std::string symbol_index_path(const std::string& out);

}  // namespace kestrune::lexscan
