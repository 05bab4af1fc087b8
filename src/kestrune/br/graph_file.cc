// retrieve_file(): retrieval straight from the graph file. The file can be
// hundreds of megabytes, mostly file contents that retrieval never looks at,
// so it is parsed once with simdjson and only the chosen entries are turned
// into json::Value. Wherever simdjson and Python's reader could disagree
// (non-standard numbers, lone surrogates, negative zero, malformed text), the
// file is read again with the full reader, which also gives the exact error.
#include <fcntl.h>
#include <simdjson.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "kestrune/br/retrieve.h"

namespace kestrune::br {
namespace {

namespace dom = simdjson::dom;

struct NeedsFullReader {};

// The file mapped read-only with simdjson's padding after it: an anonymous
// zeroed region is reserved first and the file mapped over its start, so the
// bytes past the end are readable zeros and no copy of the file is made.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      size_ = static_cast<size_t>(st.st_size);
      span_ = size_ + simdjson::SIMDJSON_PADDING + static_cast<size_t>(::getpagesize());
      void* area = ::mmap(nullptr, span_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (area != MAP_FAILED) {
        void* file = ::mmap(area, size_, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, 0);
        if (file == MAP_FAILED) {
          ::munmap(area, span_);
        } else {
          data_ = static_cast<const char*>(file);
        }
      }
    }
    ::close(fd);
  }
  ~MappedFile() {
    if (data_) ::munmap(const_cast<char*>(data_), span_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const char* data_ = nullptr;
  size_t size_ = 0, span_ = 0;
};

json::Value to_value(dom::element e) {
  switch (e.type()) {
    case dom::element_type::ARRAY: {
      json::Array a;
      for (dom::element x : dom::array(e)) a.push_back(to_value(x));
      return a;
    }
    case dom::element_type::OBJECT: {
      json::Object o;
      for (dom::key_value_pair kv : dom::object(e)) o.set(std::string(kv.key), to_value(kv.value));
      return o;
    }
    case dom::element_type::INT64:
      return static_cast<long long>(int64_t(e));
    case dom::element_type::UINT64:
      return static_cast<unsigned long long>(uint64_t(e));
    case dom::element_type::DOUBLE: {
      double d = double(e);
      if (d == 0 && std::signbit(d)) throw NeedsFullReader{};  // "-0" is an int to Python
      return d;
    }
    case dom::element_type::STRING:
      return std::string_view(e);
    case dom::element_type::BOOL:
      return bool(e);
    case dom::element_type::NULL_VALUE:
      return nullptr;
  }
  return nullptr;
}

std::string_view text_of(dom::element e, TextArena& arena) {
  if (e.is_string()) return std::string_view(e);
  return arena.emplace_back(json::py_str(to_value(e)));
}

// The last occurrence of `key` wins, as in Python's reader.
struct Picked {
  dom::element id, ext, kind, confidence, summary, keywords;
  bool has_id = false, has_ext = false, has_kind = false, has_conf = false, has_summary = false,
       has_keywords = false;
};

NodeFields node_fields(dom::element node, std::vector<std::string_view>& keywords,
                       TextArena& arena) {
  if (!node.is_object()) throw TypeError("node must be a dict");
  Picked p;
  for (dom::key_value_pair kv : dom::object(node)) {
    std::string_view k = kv.key;
    if (k == "id") p.id = kv.value, p.has_id = true;
    else if (k == "ext") p.ext = kv.value, p.has_ext = true;
    else if (k == "kind") p.kind = kv.value, p.has_kind = true;
    else if (k == "confidence") p.confidence = kv.value, p.has_conf = true;
    else if (k == "summary") p.summary = kv.value, p.has_summary = true;
    else if (k == "keywords") p.keywords = kv.value, p.has_keywords = true;
  }
  NodeFields f;
  if (p.has_id) f.id = text_of(p.id, arena), f.id_is_str = p.id.is_string();
  if (p.has_ext) f.ext = text_of(p.ext, arena);
  if (p.has_summary && !p.summary.is_null()) {
    if (!p.summary.is_string()) throw TypeError("node summary must be str or None");
    f.summary = std::string_view(p.summary);
  }
  keywords.clear();
  if (p.has_keywords && !p.keywords.is_null()) {
    if (!p.keywords.is_array()) throw TypeError("node keywords must be a list or None");
    for (dom::element k : dom::array(p.keywords)) {
      if (!k.is_string()) throw TypeError("node keywords must be a list of str");
      keywords.push_back(std::string_view(k));
    }
  }
  f.keywords = keywords;
  f.is_symbol = p.has_kind && p.kind.is_string() && std::string_view(p.kind) == "symbol";
  f.confidence_high =
      p.has_conf && p.confidence.is_string() && std::string_view(p.confidence) == "high";
  return f;
}

EdgeFields edge_fields(dom::element edge, TextArena& arena) {
  if (!edge.is_object()) throw TypeError("edge must be a dict");
  EdgeFields f;
  for (dom::key_value_pair kv : dom::object(edge)) {
    std::string_view k = kv.key;
    if (k == "from") f.from = text_of(kv.value, arena), f.from_is_str = kv.value.is_string();
    else if (k == "to") f.to = text_of(kv.value, arena), f.to_is_str = kv.value.is_string();
    else if (k == "rel") f.rel = text_of(kv.value, arena);
  }
  return f;
}

// nullopt: the file needs the full reader.
std::optional<RetrieveResult> retrieve_parsed(dom::element graph, std::string_view query,
                                              long long top_files, long long top_edges,
                                              const std::vector<CapabilityEntry>& caps) {
  if (!graph.is_object()) return std::nullopt;
  std::optional<dom::element> nodes_el, edges_el;
  for (dom::key_value_pair kv : dom::object(graph)) {
    if (kv.key == "nodes") nodes_el = kv.value;
    else if (kv.key == "edges") edges_el = kv.value;
  }
  auto list = [](std::optional<dom::element>& el, const char* name) -> std::vector<dom::element> {
    std::vector<dom::element> out;
    if (!el || el->is_null()) return out;
    if (!el->is_array()) throw TypeError(std::string("graph ") + name + " must be a list");
    dom::array a(*el);
    out.reserve(a.size());
    for (dom::element x : a) out.push_back(x);
    return out;
  };
  std::vector<dom::element> nodes = list(nodes_el, "nodes");
  std::vector<dom::element> edges = list(edges_el, "edges");

  Retriever r(query, top_files, top_edges, caps);
  TextArena arena;
  std::vector<EdgeFields> edge_views;
  edge_views.reserve(edges.size());
  for (dom::element e : edges) edge_views.push_back(edge_fields(e, arena));
  r.expect_edges(edge_views.size());
  for (const auto& e : edge_views) r.count_edge(e);
  std::vector<std::string_view> keywords;
  for (size_t i = 0; i < nodes.size(); ++i) r.add_node(i, node_fields(nodes[i], keywords, arena));
  for (size_t i = 0; i < edge_views.size(); ++i) r.add_edge(i, edge_views[i]);
  Selection sel = r.finish(nodes.size(), edges.size());

  RetrieveResult out;
  try {
    for (const auto& c : sel.files) out.files.push_back(chosen_entry(to_value(nodes[c.index]), c, sel.intent));
    for (size_t i = 0; i < sel.fallback_files; ++i) out.files.push_back(to_value(nodes[i]));
    for (size_t i : sel.edges) out.edges.push_back(to_value(edges[i]));
    for (size_t i = 0; i < sel.fallback_edges; ++i) out.edges.push_back(to_value(edges[i]));
  } catch (const NeedsFullReader&) {
    return std::nullopt;
  }
  return out;
}

}  // namespace

RetrieveResult retrieve_file(const std::string& path, std::string_view query, long long top_files,
                             long long top_edges, const std::vector<CapabilityEntry>& caps) {
  MappedFile file(path);
  if (file.data()) {
    std::string_view text(file.data(), file.size());
    const size_t skip = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    dom::parser parser;
    dom::element doc;
    if (parser.parse(file.data() + skip, file.size() - skip, false).get(doc) == simdjson::SUCCESS) {
      try {
        if (auto out = retrieve_parsed(doc, query, top_files, top_edges, caps)) return std::move(*out);
      } catch (const NeedsFullReader&) {
      }
    }
  }
  json::Value graph = json::load_file(path);
  if (!graph.is_object()) throw TypeError("graph must be a dict");
  return materialise(graph, select(graph, query, top_files, top_edges, caps));
}

}  // namespace kestrune::br
