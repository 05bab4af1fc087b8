#include "kestrune/lexscan/graph.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <span>
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

json::Value Graph::to_json() && {
  size_t symbols = 0;
  for (const auto& n : nodes) symbols += n.kind == "symbol";
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
  return g;
}

namespace {

json::Value index_of(const std::vector<Node>& nodes) {
  json::Object index;
  for (const auto& n : nodes) {
    if (n.kind != "symbol") continue;
    json::Object entry;
    entry.append("line_start", static_cast<long long>(n.line_start));
    entry.append("line_end", static_cast<long long>(n.line_end));
    entry.append("body_hash", n.body_hash);
    entry.append("confidence", n.confidence);
    entry.append("path", n.path);
    index.set(n.id, std::move(entry));
  }
  return index;
}

}  // namespace

json::Value Graph::symbol_index() const { return index_of(nodes); }
json::Value RenderedGraph::symbol_index() const { return index_of(symbols); }

namespace {

// A file replaced whole: written under a temporary name in the same
// directory, renamed over the target only when complete (what fs::write_atomic
// does for a text held whole in memory).
class AtomicFile {
 public:
  explicit AtomicFile(const std::string& path) : path_(path) {
    // Through a symbolic link the file it names is replaced, not the link.
    target_ = fs::is_link(path) ? fs::resolve(path) : path;
    std::string dir = fs::dirname(target_);
    std::string prefix = (dir.empty() ? "" : dir + "/") + "." + fs::name(target_) + ".";
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      unsigned char rnd[6] = {};
      if (getrandom(rnd, sizeof rnd, 0) != static_cast<ssize_t>(sizeof rnd))
        for (auto& r : rnd) r = static_cast<unsigned char>(attempt * 37 + (&r - rnd));
      tmp_ = prefix;
      for (unsigned char r : rnd) tmp_ += kChars[r % (sizeof kChars - 1)];
      fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ < 0 && errno != EEXIST) throw fs::OsError(errno, path_);
    }
    if (fd_ < 0) throw fs::OsError(EEXIST, tmp_);
  }
  ~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(tmp_.c_str());
  }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void write(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = ::write(fd_, data.data(), data.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw fs::OsError(errno, path_);
      data.remove_prefix(static_cast<size_t>(n));
    }
  }
  // Writes the parts one after another, many to a system call.
  void write_all(std::span<const std::string_view> parts) {
    std::vector<iovec> iov;
    for (size_t i = 0; i < parts.size();) {
      iov.clear();
      size_t bytes = 0;
      for (; i < parts.size() && iov.size() < IOV_MAX; ++i) {
        iov.push_back({const_cast<char*>(parts[i].data()), parts[i].size()});
        bytes += parts[i].size();
      }
      ssize_t n = ::writev(fd_, iov.data(), static_cast<int>(iov.size()));
      if (n < 0 && errno == EINTR) n = 0;
      else if (n < 0) throw fs::OsError(errno, path_);
      if (static_cast<size_t>(n) == bytes) continue;
      // A short write: the rest of this batch goes out piece by piece.
      size_t done = static_cast<size_t>(n);
      for (const iovec& v : iov) {
        const size_t len = v.iov_len;
        if (done >= len) {
          done -= len;
          continue;
        }
        write(std::string_view(static_cast<const char*>(v.iov_base) + done, len - done));
        done = 0;
      }
    }
  }
  void commit() {
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) throw fs::OsError(errno, path_);
    if (::rename(tmp_.c_str(), target_.c_str()) != 0) throw fs::OsError(errno, path_);
    committed_ = true;
  }

 private:
  std::string path_, target_, tmp_;
  int fd_ = -1;
  bool committed_ = false;
};

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

// The document up to the opening of the node list.
void render_head(std::string& out, std::string_view root, size_t nodes, size_t symbols, size_t edges) {
  GraphWriter w(out);
  out += "{\n";
  w.str(kTop, "root", root);
  w.num(kTop, "node_count", static_cast<int64_t>(nodes));
  w.num(kTop, "edge_count", static_cast<int64_t>(edges));
  w.num(kTop, "file_count", static_cast<int64_t>(nodes - symbols));
  w.num(kTop, "symbol_count", static_cast<int64_t>(symbols));
  w.key(kTop, "nodes");
  out += nodes == 0 ? "[],\n" : "[\n";
}

// What follows the last node.
constexpr std::string_view kNodesEnd = "\n  ],\n";

// The edge list and the end of the document, handed to `flush` in pieces of about 1 MB.
void render_tail(std::string& out, const std::vector<Edge>& edges, const std::function<void(std::string&)>& flush) {
  GraphWriter w(out);
  w.key(kTop, "edges");
  out += edges.empty() ? "[]\n" : "[\n";
  for (size_t i = 0; i < edges.size(); ++i) {
    out += "    {\n";
    w.str(kMember, "from", edges[i].from);
    w.str(kMember, "to", edges[i].to);
    w.str(kMember, "rel", edges[i].rel, true);
    out += i + 1 < edges.size() ? "    },\n" : "    }\n  ]\n";
    if (out.size() > kPiece) flush(out);
  }
  out += "}";
  flush(out);
}

// The indented graph text, handed to `flush` in pieces of about 1 MB.
void emit(Graph&& g, const std::function<void(std::string&)>& flush) {
  auto& [root, nodes, edges] = g;
  size_t symbols = 0;
  for (const auto& n : nodes) symbols += n.kind == "symbol";
  std::string out;
  out.reserve(2 * kPiece);
  render_head(out, root, nodes.size(), symbols, edges.size());
  for (size_t i = 0; i < nodes.size(); ++i) {
    render_node(out, nodes[i]);
    out += i + 1 < nodes.size() ? std::string_view(",\n") : kNodesEnd;
    nodes[i] = Node();  // its text is in `out` now
    if (out.size() > kPiece) flush(out);
  }
  render_tail(out, edges, flush);
  nodes.clear();
  edges.clear();
}

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

std::string Graph::serialise() && {
  std::string text;
  emit(std::move(*this), [&](std::string& piece) {
    text += piece;
    piece.clear();
  });
  return text;
}

void Graph::write(const std::string& path) && {
  AtomicFile file(path);
  emit(std::move(*this), [&](std::string& piece) {
    file.write(piece);
    piece.clear();
  });
  file.commit();
}

void RenderedGraph::write(const std::string& path) && {
  AtomicFile file(path);
  std::string out;
  render_head(out, root, node_count, symbol_count, edges.size());
  // The pieces go out as they are; only the last node's separator changes.
  std::vector<std::string_view> parts{out};
  for (const std::string& p : pieces)
    if (!p.empty()) parts.push_back(p);
  if (parts.size() > 1) {
    parts.back().remove_suffix(2);  // ",\n"
    parts.push_back(kNodesEnd);
  }
  file.write_all(parts);
  pieces.clear();
  std::string tail;
  tail.reserve(2 * kPiece);
  render_tail(tail, edges, [&](std::string& piece) {
    file.write(piece);
    piece.clear();
  });
  file.commit();
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

}  // namespace

std::vector<Edge> dedupe_edges(std::vector<Edge>&& edges) {
  std::unordered_set<std::string> seen;
  seen.reserve(edges.size());
  std::vector<Edge> out;
  out.reserve(edges.size());
  for (auto& e : edges)
    if (seen.insert(triple_key(e.from, e.to, e.rel)).second) out.push_back(std::move(e));
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

json::Value symbol_index(const json::Value& graph) {
  json::Object index;
  const json::Value* nodes = graph.find("nodes");
  if (!nodes || !nodes->is_array()) return index;
  for (const auto& n : nodes->as_array()) {
    const json::Value* kind = n.find("kind");
    if (!kind || !kind->is_string() || kind->as_string() != "symbol") continue;
    json::Object entry;
    entry.append("line_start", n["line_start"]);
    entry.append("line_end", n["line_end"]);
    entry.append("body_hash", n["body_hash"]);
    const json::Value* conf = n.find("confidence");
    entry.append("confidence", conf ? *conf : json::Value(""));
    entry.append("path", n["path"]);
    // A repeated id keeps its first place and takes the later values.
    index.set(n["id"].as_string(), std::move(entry));
  }
  return index;
}

std::string symbol_index_path(const std::string& out) {
  return fs::pure(fs::join(fs::parent(out), "symbol_index.json"));
}

void write_graph_files(const json::Value& graph, const std::string& out) {
  fs::makedirs(fs::parent(out));
  fs::write_atomic(out, json::dumps(graph, {.indent = 2}));
  fs::write_atomic(symbol_index_path(out), json::dumps(symbol_index(graph)));
}

}  // namespace kestrune::lexscan
