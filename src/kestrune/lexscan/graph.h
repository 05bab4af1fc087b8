// The information graph model: nodes, symbol and edge records, and the two
// files a scan is stored in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
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

// An edge whose strings are held elsewhere.
struct EdgeRef {
  std::string_view from, to, rel;
  EdgeRef(std::string_view f, std::string_view t, std::string_view r) : from(f), to(t), rel(r) {}
  EdgeRef(const Edge& e) : from(e.from), to(e.to), rel(e.rel) {}  // NOLINT: a view of it
  bool operator==(const EdgeRef&) const = default;
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

// One scan of a project: the one model of a graph, from the scanner's threads
// to the writer.
struct Graph {
  std::string root{};
  std::vector<Node> nodes{};  // scan order: each file's node, then its symbols
  std::vector<Edge> edges{};  // already de-duplicated
  // The syntax-tree scanner's flag, written after "edges" when set.
  std::optional<bool> ast_mode{};

  // The nodes as the graph file holds them, when the scan rendered them on its
  // threads (Render::ForWriting): one piece per file, in walk order, each node
  // followed by ",\n". A rendered graph's nodes keep only what the counts and
  // the symbol index read: their content, summary and keywords are released,
  // so it can be written but not turned into a record.
  std::vector<std::string> rendered{};

  size_t symbol_count() const;
  // The graph record. Throws std::logic_error for a rendered graph.
  json::Value to_json() &&;
  // The symbol_index.json record of these nodes.
  json::Value symbol_index() const;
  // The info_graph.json text: what json::dumps with indent 2 gives for to_json().
  std::string serialise() const;
};

// Whether a scan renders the graph file's text on its threads as it goes.
enum class Render { No, ForWriting };

// Appends the node as it stands in the graph file, from its opening "    {"
// to its closing "    }", without the separator that follows.
void render_node(std::string& out, const Node& n);

// The graph file's text is graph_head(), the nodes as render_node() gives
// them joined by ",\n", then what render_tail() appends.
// What precedes the first node: the root, the counts, the list's opening.
std::string graph_head(std::string_view root, size_t nodes, size_t symbols, size_t edges);
// What follows the last node (or the empty node list): the list's end, the
// edges, "ast_mode" when set and the closing brace. `spill`, when given, is
// called with `out` whenever it grows past about 1 MB, to take it away.
void render_tail(std::string& out, bool has_nodes, std::span<const EdgeRef> edges, std::optional<bool> ast_mode,
                 const std::function<void(std::string&)>& spill = {});

// The one writer of graph files. Writes the info_graph.json text of `g` at
// `path`, replacing it whole (fs::AtomicWriter): from the rendered pieces when
// there are any, else node by node, in pieces of about 1 MB, so the graph and
// its text are never both in memory. The directory must exist. Throws
// fs::OsError; on failure `path` keeps its earlier content.
void write_graph(const Graph& g, const std::string& path);
// write_graph() at `out`, then symbol_index.json beside it (only once the graph
// file is in place). Returns the number of symbol index entries.
size_t write_graph_files(const Graph& g, const std::string& out);

json::Value string_list(const std::vector<std::string>& items);

// Appends one symbol node and one "contains" edge per symbol, in order.
void append_symbol_nodes(std::vector<Node>& nodes, std::vector<Edge>& edges,
                         std::vector<Symbol>&& syms, const std::string& file_id,
                         const std::string& ext);

// Keeps the first edge of every (from, to, rel) triple, order preserved.
std::vector<Edge> dedupe_edges(std::vector<Edge>&& edges);
std::vector<EdgeRef> dedupe_edges(std::span<const EdgeRef> edges);
// The same over edge records; a record without one of the three keys throws
// std::out_of_range. Other keys play no part.
json::Array dedupe_edges(const json::Array& edges);

// Where the symbol index of the graph file `out` goes, rendered as a path.
std::string symbol_index_path(const std::string& out);

}  // namespace kestrune::lexscan
