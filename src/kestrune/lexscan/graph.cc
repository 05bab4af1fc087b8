#include "kestrune/lexscan/graph.h"

#include <functional>
#include <span>
#include <stdexcept>
#include <unordered_set>

#include "kestrune/base/fs.h"
#include "kestrune/lexscan/lexscan.h"

namespace kestrune::lexscan {

json::Value string_list(const std::vector<std::string>& items) {
  json::Array a;
  a.reserve(items.size());
  for (const auto& s : items) a.emplace_back(s);
  return a;
}

json::Value Symbol::to_json() const {
  json::Object o;
  o.append("id", id);
  o.append("name", name);
  o.append("symbol_type", symbol_type);
  o.append("line_start", static_cast<long long>(line_start));
  o.append("line_end", static_cast<long long>(line_end));
  o.append("body_hash", body_hash);
  o.append("confidence", confidence);
  o.append("exported", exported);
  o.append("keywords", string_list(keywords));
  return o;
}

json::Value Edge::to_json() const {
  json::Object o;
  o.append("from", from);
  o.append("to", to);
  o.append("rel", rel);
  return o;
}

namespace {

// One body for both as_dict overloads: `N` is Node& (strings moved out) or
// const Node& (strings copied).
template <class N>
json::Value node_dict(N&& n) {
  auto take = [](auto& field) -> json::Value {
    if constexpr (std::is_const_v<std::remove_reference_t<N>>)
      return json::Value(field);
    else
      return json::Value(std::move(field));
  };
  const bool file = n.kind == "file";  // before kind may be moved out
  json::Object o;
  o.append("id", take(n.id));
  o.append("kind", take(n.kind));
  o.append("path", take(n.path));
  o.append("ext", take(n.ext));
  o.append("size", static_cast<long long>(n.size));
  o.append("keywords", string_list(n.keywords));
  if (file) {
    o.append("content", take(n.content));
    o.append("summary", take(n.summary));
    o.append("file_hash", take(n.file_hash));
  } else {
    o.append("symbol_type", take(n.symbol_type));
    o.append("name", take(n.name));
    o.append("line_start", static_cast<long long>(n.line_start));
    o.append("line_end", static_cast<long long>(n.line_end));
    o.append("body_hash", take(n.body_hash));
    o.append("confidence", take(n.confidence));
    o.append("exported", n.exported);
  }
  return o;
}

}  // namespace

json::Value Node::as_dict() const& { return node_dict(*this); }
json::Value Node::as_dict() && { return node_dict(*this); }

size_t Graph::symbol_count() const {
  size_t n = 0;
  for (const auto& node : nodes) n += node.kind == "symbol";
  return n;
}

json::Value Graph::to_json() && {
  if (!rendered.empty()) throw std::logic_error("a graph rendered for writing has no record");
  const size_t symbols = symbol_count();
  json::Array node_list;
  node_list.reserve(nodes.size());
  for (auto& n : nodes) node_list.push_back(std::move(n).as_dict());
  json::Array edge_list;
  edge_list.reserve(edges.size());
  for (const auto& e : edges) edge_list.push_back(e.to_json());
  json::Object g;
  g.append("root", std::move(root));
  g.append("node_count", static_cast<long long>(nodes.size()));
  g.append("edge_count", static_cast<long long>(edges.size()));
  g.append("file_count", static_cast<long long>(nodes.size() - symbols));
  g.append("symbol_count", static_cast<long long>(symbols));
  g.append("nodes", std::move(node_list));
  g.append("edges", std::move(edge_list));
  if (ast_mode) g.append("ast_mode", *ast_mode);
  return g;
}

json::Value Graph::symbol_index() const {
  json::Object index;
  for (const auto& n : nodes) {
    if (n.kind != "symbol") continue;
    json::Object entry;
    entry.append("line_start", static_cast<long long>(n.line_start));
    entry.append("line_end", static_cast<long long>(n.line_end));
    entry.append("body_hash", n.body_hash);
    entry.append("confidence", n.confidence);
    entry.append("path", n.path);
    // A repeated id keeps its first place and takes the later values.
    index.set(n.id, std::move(entry));
  }
  return index;
}

namespace {

// Pieces of the indented layout; `in` is the indentation of the member's line.
class GraphWriter {
 public:
  explicit GraphWriter(std::string& out) : out_(out) {}
  void key(std::string_view in, std::string_view k) {
    out_ += in;
    out_ += '"';
    out_ += k;
    out_ += "\": ";
  }
  void str(std::string_view in, std::string_view k, std::string_view v, bool last = false) {
    key(in, k);
    json::dump_string(out_, v);
    end(last);
  }
  void num(std::string_view in, std::string_view k, int64_t v, bool last = false) {
    key(in, k);
    out_ += std::to_string(v);
    end(last);
  }
  void boolean(std::string_view in, std::string_view k, bool v, bool last = false) {
    key(in, k);
    out_ += v ? "true" : "false";
    end(last);
  }
  void list(std::string_view in, std::string_view k, const std::vector<std::string>& items) {
    key(in, k);
    if (items.empty()) {
      out_ += "[],\n";
      return;
    }
    out_ += "[\n";
    for (size_t i = 0; i < items.size(); ++i) {
      out_ += in;
      out_ += "  ";
      json::dump_string(out_, items[i]);
      out_ += i + 1 < items.size() ? ",\n" : "\n";
    }
    out_ += in;
    out_ += "],\n";
  }
  void end(bool last) { out_ += last ? "\n" : ",\n"; }

 private:
  std::string& out_;
};

constexpr std::string_view kTop = "  ", kMember = "      ";
constexpr size_t kPiece = 1 << 20;

}  // namespace

std::string graph_head(std::string_view root, size_t nodes, size_t symbols, size_t edges) {
  std::string out;
  GraphWriter w(out);
  out += "{\n";
  w.str(kTop, "root", root);
  w.num(kTop, "node_count", static_cast<int64_t>(nodes));
  w.num(kTop, "edge_count", static_cast<int64_t>(edges));
  w.num(kTop, "file_count", static_cast<int64_t>(nodes - symbols));
  w.num(kTop, "symbol_count", static_cast<int64_t>(symbols));
  w.key(kTop, "nodes");
  out += nodes == 0 ? "[],\n" : "[\n";
  return out;
}

void render_tail(std::string& out, bool has_nodes, std::span<const EdgeRef> edges, std::optional<bool> ast_mode,
                 const std::function<void(std::string&)>& spill) {
  if (has_nodes) out += "\n  ],\n";
  GraphWriter w(out);
  w.key(kTop, "edges");
  out += edges.empty() ? "[]" : "[\n";
  for (size_t i = 0; i < edges.size(); ++i) {
    out += "    {\n";
    w.str(kMember, "from", edges[i].from);
    w.str(kMember, "to", edges[i].to);
    w.str(kMember, "rel", edges[i].rel, true);
    out += i + 1 < edges.size() ? "    },\n" : "    }\n  ]";
    if (spill && out.size() > kPiece) spill(out);
  }
  if (ast_mode) {
    out += ",\n";
    w.boolean(kTop, "ast_mode", *ast_mode, true);
  } else {
    out += '\n';
  }
  out += "}";
}

namespace {

// The graph text of `g`, handed to `sink` (write(string_view) and
// write(span<const string_view>)) in pieces of about 1 MB, or as the rendered
// pieces themselves.
template <class Sink>
void emit(const Graph& g, Sink& sink) {
  std::string out = graph_head(g.root, g.nodes.size(), g.symbol_count(), g.edges.size());
  out.reserve(2 * kPiece);
  auto flush = [&](std::string& text) {
    sink.write(std::string_view(text));
    text.clear();
  };
  if (!g.rendered.empty()) {
    // The pieces go out as they are, without the last node's separator.
    std::vector<std::string_view> parts{out};
    for (const std::string& p : g.rendered)
      if (!p.empty()) parts.push_back(p);
    if (parts.size() > 1) parts.back().remove_suffix(2);  // ",\n"
    sink.write(std::span<const std::string_view>(parts));
    out.clear();
  } else {
    for (size_t i = 0; i < g.nodes.size(); ++i) {
      render_node(out, g.nodes[i]);
      if (i + 1 < g.nodes.size()) out += ",\n";
      if (out.size() > kPiece) flush(out);
    }
  }
  const std::vector<EdgeRef> edges(g.edges.begin(), g.edges.end());
  render_tail(out, !g.nodes.empty(), edges, g.ast_mode, flush);
  flush(out);
}

struct StringSink {
  std::string& text;
  void write(std::string_view s) { text += s; }
  void write(std::span<const std::string_view> parts) {
    for (std::string_view p : parts) text += p;
  }
};

}  // namespace

void render_node(std::string& out, const Node& n) {
  GraphWriter w(out);
  out += "    {\n";
  w.str(kMember, "id", n.id);
  w.str(kMember, "kind", n.kind);
  w.str(kMember, "path", n.path);
  w.str(kMember, "ext", n.ext);
  w.num(kMember, "size", n.size);
  w.list(kMember, "keywords", n.keywords);
  if (n.kind == "file") {
    w.str(kMember, "content", n.content);
    w.str(kMember, "summary", n.summary);
    w.str(kMember, "file_hash", n.file_hash, true);
  } else {
    w.str(kMember, "symbol_type", n.symbol_type);
    w.str(kMember, "name", n.name);
    w.num(kMember, "line_start", n.line_start);
    w.num(kMember, "line_end", n.line_end);
    w.str(kMember, "body_hash", n.body_hash);
    w.str(kMember, "confidence", n.confidence);
    w.boolean(kMember, "exported", n.exported, true);
  }
  out += "    }";
}

std::string Graph::serialise() const {
  std::string text;
  StringSink sink{text};
  emit(*this, sink);
  return text;
}

void write_graph(const Graph& g, const std::string& path) {
  fs::AtomicWriter file(path);
  emit(g, file);
  file.commit();
}

size_t write_graph_files(const Graph& g, const std::string& out) {
  json::Value index = g.symbol_index();
  write_graph(g, out);
  fs::write_atomic(symbol_index_path(out), json::dumps(index));
  return index.as_object().size();
}

void append_symbol_nodes(std::vector<Node>& nodes, std::vector<Edge>& edges,
                         std::vector<Symbol>&& syms, const std::string& file_id,
                         const std::string& ext) {
  for (auto& s : syms) {
    edges.push_back({file_id, s.id, "contains"});
    Node n;
    n.id = std::move(s.id);
    n.kind = "symbol";
    n.path = file_id;
    n.ext = ext;
    n.size = s.line_end - s.line_start + 1;
    n.keywords = std::move(s.keywords);
    n.symbol_type = std::move(s.symbol_type);
    n.name = std::move(s.name);
    n.line_start = s.line_start;
    n.line_end = s.line_end;
    n.body_hash = std::move(s.body_hash);
    n.confidence = std::move(s.confidence);
    n.exported = s.exported;
    nodes.push_back(std::move(n));
  }
}

namespace {

// A set key for the triple; the lengths make the concatenation unambiguous.
std::string triple_key(std::string_view a, std::string_view b, std::string_view c) {
  std::string k;
  k.reserve(a.size() + b.size() + c.size() + 24);
  k += std::to_string(a.size());
  k += ':';
  k += a;
  k += std::to_string(b.size());
  k += ':';
  k += b;
  k += c;
  return k;
}

struct EdgeRefHash {
  size_t operator()(const EdgeRef& e) const {
    const std::hash<std::string_view> h;
    size_t k = h(e.from);
    k = k * 1000003 ^ h(e.to);
    return k * 1000003 ^ h(e.rel);
  }
};

// The index of the first edge of every triple, in order.
std::vector<size_t> first_of_each(std::span<const EdgeRef> edges) {
  std::unordered_set<EdgeRef, EdgeRefHash> seen;
  seen.reserve(edges.size());
  std::vector<size_t> kept;
  kept.reserve(edges.size());
  for (size_t i = 0; i < edges.size(); ++i)
    if (seen.insert(edges[i]).second) kept.push_back(i);
  return kept;
}

}  // namespace

std::vector<Edge> dedupe_edges(std::vector<Edge>&& edges) {
  const std::vector<EdgeRef> refs(edges.begin(), edges.end());
  std::vector<Edge> out;
  const std::vector<size_t> kept = first_of_each(refs);
  out.reserve(kept.size());
  for (size_t i : kept) out.push_back(std::move(edges[i]));
  return out;
}

std::vector<EdgeRef> dedupe_edges(std::span<const EdgeRef> edges) {
  std::vector<EdgeRef> out;
  const std::vector<size_t> kept = first_of_each(edges);
  out.reserve(kept.size());
  for (size_t i : kept) out.push_back(edges[i]);
  return out;
}

json::Array dedupe_edges(const json::Array& edges) {
  std::unordered_set<std::string> seen;
  json::Array out;
  for (const auto& e : edges) {
    // Values of any type may stand in the triple; their JSON text tells them apart.
    std::string k = triple_key(json::dumps(e["from"]), json::dumps(e["to"]), json::dumps(e["rel"]));
    if (seen.insert(std::move(k)).second) out.push_back(e);
  }
  return out;
}

std::string symbol_index_path(const std::string& out) {
  return fs::pure(fs::join(fs::parent(out), "symbol_index.json"));
}

}  // namespace kestrune::lexscan
