#include "kestrune/lexscan/scan.h"

#include <algorithm>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/keywords.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/relations.h"
#include "kestrune/lexscan/scan_cache.h"
#include "kestrune/lexscan/symbols.h"
#include "kestrune/lexscan/walk.h"

namespace kestrune::lexscan {

namespace {

bool is_string_list(const json::Value& v) {
  if (!v.is_array()) return false;
  return std::all_of(v.as_array().begin(), v.as_array().end(), [](const json::Value& s) { return s.is_string(); });
}

// Keywords, summary, relations and symbols all see the cut text.
class RegexScanner : public Scanner {
 public:
  std::string identity() const override { return scanner_identity("lexscan"); }
  void walk(const std::string& root, const std::function<void(WalkedFile&&)>& found) const override {
    walk_selected(root, {&is_skip_dir, &should_scan}, found);
  }
  void describe(const FileText& f, Node& node) const override {
    node.summary = make_summary(f.cut, f.id, f.ext);
    node.keywords = extract_keywords(f.cut, f.ext);
  }
  void extract(const FileText& f, std::vector<Edge>& edges, std::vector<Symbol>& symbols) const override {
    edges = relations_of(f.cut, f.id, fs::suffix(f.path));
    if (is_symbol_ext(f.ext)) symbols = symbols_for_file(f.cut, f.id, f.ext);
  }
};

}  // namespace

const Scanner& regex_scanner() {
  static const RegexScanner scanner;
  return scanner;
}

// The earlier node of this file when its fingerprint still matches; a key the
// entry lacks takes the current value. An entry whose fields have the wrong
// types cannot have come from a scan, so the file is rebuilt rather than trusted.
std::optional<Node> reused_node(const json::Object* reuse, const Node& current) {
  if (!reuse) return std::nullopt;
  const json::Value* entry = reuse->find(current.id);
  if (!entry || !entry->is_object()) return std::nullopt;
  const json::Value* hash = entry->find("file_hash");
  if (!hash || !hash->is_string() || hash->as_string() != current.file_hash) return std::nullopt;

  const json::Value& id = (*entry)["id"];  // a matching entry must name itself
  if (!id.is_string()) return std::nullopt;
  for (const char* key : {"kind", "path", "ext", "content", "summary"})
    if (const json::Value* v = entry->find(key); v && !v->is_string()) return std::nullopt;
  const json::Value* size = entry->find("size");
  const json::Value* keywords = entry->find("keywords");
  if ((size && !size->is_int()) || (keywords && !is_string_list(*keywords))) return std::nullopt;

  Node n = current;
  n.id = id.as_string();
  auto take = [&](const char* key, std::string& field, std::string fallback) {
    const json::Value* v = entry->find(key);
    field = v ? v->as_string() : std::move(fallback);
  };
  take("kind", n.kind, "file");
  take("path", n.path, current.id);
  take("ext", n.ext, current.ext);
  take("content", n.content, current.content);
  take("summary", n.summary, "");
  if (size) n.size = size->as_int();
  n.keywords.clear();
  if (keywords)
    for (const auto& k : keywords->as_array()) n.keywords.push_back(k.as_string());
  return n;
}

Graph scan_graph(const std::string& root, const json::Object* existing_nodes, unsigned threads, Render render) {
  return scan_graph(regex_scanner(), root, existing_nodes, threads, render);
}

json::Value scan(const std::string& root, const json::Object* existing_nodes, unsigned threads) {
  return scan_graph(root, existing_nodes, threads).to_json();
}

namespace {

// Adds one entry of the earlier graph's node list to the reuse map; false when
// the entry makes the whole graph unusable.
bool add_reusable(json::Object& reuse, json::Value&& n) {
  if (!n.is_object()) return false;
  const json::Value* kind = n.find("kind");
  if (!kind || !kind->is_string() || kind->as_string() != "file") return true;
  const json::Value* id = n.find("id");
  if (!id || id->is_array() || id->is_object()) return false;
  // Only a string id can ever equal a file's id.
  if (id->is_string()) {
    std::string key = id->as_string();
    reuse.set(std::move(key), std::move(n));
  }
  return true;
}

}  // namespace

json::Object load_reuse_map(const std::string& graph_path) {
  try {
    // Not there, or no regular file (a FIFO is never waited on): no reuse.
    std::optional<std::string> read = fs::read_bytes_if_file(graph_path);
    if (!read) return {};
    std::string bytes = std::move(*read);
    // json::load_file's "utf-8-sig" reading, without a decoded copy of a file that is already valid UTF-8.
    if (!text::is_valid_utf8(bytes)) return {};
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.erase(0, 3);

    // Only the file nodes are wanted: they are taken one by one, and the
    // symbols and edges are checked but never built.
    json::Object reuse;
    bool usable = true;
    if (json::for_each_element(bytes, "nodes", [&](json::Value&& n) { return usable = add_reusable(reuse, std::move(n)); }))
      return usable ? std::move(reuse) : json::Object();

    // Anything unusual is read whole.
    json::Value graph = json::parse(bytes);
    bytes = std::string();
    reuse = json::Object();
    if (!graph.is_object()) return {};
    json::Value* nodes = graph.find("nodes");
    if (!nodes || !nodes->is_array()) return {};
    for (auto& n : nodes->as_array())
      if (!add_reusable(reuse, std::move(n))) return {};
    return reuse;
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace kestrune::lexscan
