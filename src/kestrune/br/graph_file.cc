// retrieve_file(): retrieval straight from the graph file.
//
// The file can be hundreds of megabytes, nearly all of it file contents that
// retrieval never looks at. So it is mapped, and simdjson's on-demand reader
// walks it once: the scoring fields are read as views into the mapping, every
// other value is checked without being decoded, and only the few chosen nodes
// and edges are parsed in full, from their own text, by the exact reader.
//
// The walk is a full check of the text (json_walk.h): anything unusual hands
// the file to the full reader, so the fast path only ever answers for
// documents on which both readers agree.
#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "kestrune/br/json_walk.h"
#include "kestrune/br/mapped_file.h"
#include "kestrune/br/retrieve.h"

namespace kestrune::br {
namespace {

namespace od = simdjson::ondemand;
using json_walk::check;
using json_walk::full_reader;
using json_walk::is_null;
using json_walk::key_of;
using json_walk::NeedsFullReader;
using json_walk::string_of;

// What the pass keeps besides the scored nodes: the edges, which are weighed
// once every node is in, and where each node and edge is written, for the
// chosen entries.
struct GraphView {
  std::vector<std::string_view> node_text;
  std::vector<EdgeFields> edges;
  std::vector<std::string_view> edge_text;
  TextArena arena;  // the text form of ids and ends that are not strings
};

class GraphReader {
 public:
  // Nodes go to `retriever` as they are read; edges are kept in `out`.
  GraphReader(od::document& doc, size_t file_size, Retriever& retriever, GraphView& out)
      : doc_(doc), file_size_(file_size), r_(retriever), g_(out) {}

  void read() {
    od::object root = doc_.get_object();
    for (od::field f : root) {
      std::string_view key = key_of(f);
      od::value v = f.value();
      // A repeated list replaces the first, whose nodes are already scored.
      if (key == "nodes") {
        if (std::exchange(nodes_seen_, true)) full_reader();
        read_nodes(v);
      } else if (key == "edges") {
        if (std::exchange(edges_seen_, true)) full_reader();
        read_edges(v);
      } else if (key == "node_count") {
        const size_t n = count_hint(v);
        g_.node_text.reserve(n);
        r_.expect_nodes(n);
      } else if (key == "edge_count") {
        const size_t n = count_hint(v);
        g_.edges.reserve(n);
        g_.edge_text.reserve(n);
      } else {
        check(v);
      }
    }
    // Nothing may follow the root object.
    if (!json_walk::at_end(doc_)) full_reader();
  }

 private:
  // The scanner writes the graph's counts before its lists; they size the
  // lists up front, so nothing is copied as they grow. Only a hint: capped by
  // what the file could hold, and 0 for anything but a plain count.
  size_t count_hint(od::value& v) {
    if (v.type() != od::json_type::number) {
      check(v);
      return 0;
    }
    std::string_view token = trim_token(v.raw_json_token());
    if (!valid_number_token(token)) full_reader();
    if (token.size() > 9 || token.find_first_not_of("0123456789") != token.npos) return 0;
    return std::min<size_t>(std::stoul(std::string(token)), file_size_ / 16);
  }

  // str() of a field value: strings as they are, other scalars in Python's text form.
  std::string_view text_of(od::value& v, bool& is_str) { return json_walk::text_of(v, is_str, g_.arena); }

  std::string_view text_of(od::value& v) {
    bool is_str;
    return text_of(v, is_str);
  }

  std::string_view walked_text(const char* start) { return json_walk::walked_text(doc_, start); }

  void read_nodes(od::value& list) {
    if (is_null(list)) return;
    for (auto element : list.get_array()) {
      od::value v = element.value();
      if (v.type() != od::json_type::object) full_reader();
      const char* start = v.current_location();
      NodeFields n;  // a repeated key's last value wins, as in Python's reader
      for (od::field f : v.get_object()) {
        std::string_view key = key_of(f);
        od::value fv = f.value();
        if (key == "id") {
          n.id = text_of(fv, n.id_is_str);
        } else if (key == "ext") {
          n.ext = text_of(fv);
        } else if (key == "kind") {
          n.is_symbol = fv.type() == od::json_type::string ? string_of(fv, g_.arena) == "symbol" : (check(fv), false);
        } else if (key == "confidence") {
          n.confidence_high = fv.type() == od::json_type::string ? string_of(fv, g_.arena) == "high" : (check(fv), false);
        } else if (key == "summary") {
          if (is_null(fv)) n.summary = {};
          else if (fv.type() == od::json_type::string) n.summary = string_of(fv, g_.arena);
          else full_reader();
        } else if (key == "keywords") {
          keywords_.clear();
          if (!is_null(fv)) {
            for (auto k : fv.get_array()) {
              od::value kv = k.value();
              if (kv.type() != od::json_type::string) full_reader();
              keywords_.push_back(string_of(kv, g_.arena));
            }
          }
        } else {
          check(fv);
        }
      }
      n.keywords = keywords_;
      r_.add_node(g_.node_text.size(), n);
      keywords_.clear();
      g_.node_text.push_back(walked_text(start));
    }
  }

  void read_edges(od::value& list) {
    if (is_null(list)) return;
    for (auto element : list.get_array()) {
      od::value v = element.value();
      if (v.type() != od::json_type::object) full_reader();
      const char* start = v.current_location();
      EdgeFields e;
      for (od::field f : v.get_object()) {
        std::string_view key = key_of(f);
        od::value fv = f.value();
        if (key == "from") e.from = text_of(fv, e.from_is_str);
        else if (key == "to") e.to = text_of(fv, e.to_is_str);
        else if (key == "rel") e.rel = text_of(fv);
        else check(fv);
      }
      g_.edges.push_back(e);
      g_.edge_text.push_back(walked_text(start));
    }
  }

  od::document& doc_;
  size_t file_size_;
  Retriever& r_;
  GraphView& g_;
  std::vector<std::string_view> keywords_;  // the current node's
  bool nodes_seen_ = false, edges_seen_ = false;
};

// Counts and scores the edges, then parses the chosen entries.
RetrieveResult chosen_result(const GraphView& g, Retriever& r) {
  Selection sel = r.finish(g.node_text.size(), g.edges);
  RetrieveResult out;
  for (const auto& c : sel.files)
    out.files.push_back(chosen_entry(json::parse(g.node_text[c.index]), c, sel.intent));
  for (size_t i = 0; i < sel.fallback_files; ++i) out.files.push_back(json::parse(g.node_text[i]));
  for (size_t i : sel.edges) out.edges.push_back(json::parse(g.edge_text[i]));
  for (size_t i = 0; i < sel.fallback_edges; ++i) out.edges.push_back(json::parse(g.edge_text[i]));
  return out;
}

}  // namespace

std::optional<RetrieveResult> retrieve_file_streaming(const std::string& path, std::string_view query,
                                                     long long top_files, long long top_edges,
                                                     const std::vector<CapabilityEntry>& caps) {
  MappedFile file(path, simdjson::SIMDJSON_PADDING);
  if (!file.data()) return std::nullopt;
  const size_t skip = file.text().starts_with("\xEF\xBB\xBF") ? 3 : 0;
  const size_t size = file.size() - skip;
  od::parser parser;
  Retriever retriever(query, top_files, top_edges, caps);
  GraphView graph;
  try {
    od::document doc = parser.iterate(file.data() + skip, size, size + simdjson::SIMDJSON_PADDING);
    GraphReader(doc, size, retriever, graph).read();
  } catch (const NeedsFullReader&) {
    return std::nullopt;
  } catch (const simdjson::simdjson_error&) {
    return std::nullopt;
  }
  return chosen_result(graph, retriever);
}

RetrieveResult retrieve_file(const std::string& path, std::string_view query, long long top_files,
                             long long top_edges, const std::vector<CapabilityEntry>& caps) {
  if (auto out = retrieve_file_streaming(path, query, top_files, top_edges, caps)) return std::move(*out);
  json::Value graph = json::load_file(path);
  if (!graph.is_object()) throw TypeError("graph must be a dict");
  return materialise(graph, select(graph, query, top_files, top_edges, caps));
}

}  // namespace kestrune::br
