// retrieve_file(): retrieval straight from the graph file.
//
// The file can be hundreds of megabytes, nearly all of it file contents that
// retrieval never looks at. So it is mapped, and simdjson's on-demand reader
// walks it once: the scoring fields are read as views into the mapping, every
// other value is checked without being decoded, and only the few chosen nodes
// and edges are parsed in full, from their own text, by the exact reader.
//
// "Invalid JSON is an error" must hold exactly, and the on-demand reader alone
// does not promise it: it decodes nothing it is not asked for. What makes the
// walk a full check:
//  - the structural scan (simdjson stage 1) runs over the whole file and
//    rejects invalid UTF-8, unescaped control characters and unclosed strings;
//  - every object and array is iterated, never skipped, so each comma, colon,
//    key and bracket is checked as the walk passes it, and the document must
//    end where the root object ends;
//  - every scalar the walk does not decode is checked as a raw token
//    (json_tokens.h): string escapes, the number grammar, the three literals.
// Anything else (escaped keys, NaN, a node that is not an object, an
// unexpected type, any simdjson error) hands the file to the full reader,
// which gives the exact result or the exact error; the fast path only ever
// answers for documents on which both readers agree.
#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "kestrune/br/json_tokens.h"
#include "kestrune/br/mapped_file.h"
#include "kestrune/br/retrieve.h"

namespace kestrune::br {
namespace {

namespace od = simdjson::ondemand;

struct NeedsFullReader {};

[[noreturn]] void full_reader() { throw NeedsFullReader{}; }

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
    if (doc_.current_location().error() != simdjson::OUT_OF_BOUNDS) full_reader();
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

  // Keys are compared as written: an escaped key could still spell "id".
  static std::string_view key_of(od::field& f) {
    const char* k = f.key().raw();
    for (const char* p = k;; ++p) {
      if (*p == '"') return {k, static_cast<size_t>(p - k)};
      if (*p == '\\') full_reader();
    }
  }

  // A string must be consumed, never left for the reader to skip: skipping
  // takes a string followed by a colon for a key and would let "a": pass
  // where a comma belongs.
  static void consume_string(od::value& v) { v.get_raw_json_string().value(); }

  static bool has_backslash(std::string_view s) {
    if (s.size() > 64) return s.find('\\') != s.npos;
    unsigned char seen = 0;  // short: a loop the compiler reads wide beats a call
    for (char c : s) seen |= c == '\\';
    return seen;
  }

  std::string_view string_of(od::value& v) {
    std::string_view token = trim_token(v.raw_json_token());
    std::string_view body = token.substr(1, token.size() - 2);
    if (has_backslash(body)) {
      // simdjson refuses a lone surrogate, and "\udcff" is how a name's byte
      // that is not UTF-8 is written: such a string is read exactly here.
      if (!has_surrogate_escape(body)) return v.get_string();  // decoded into the parser's buffer
      if (!valid_string_token(token)) full_reader();
      consume_string(v);
      return g_.arena.emplace_back(json::parse(token).as_string());
    }
    consume_string(v);
    return body;
  }

  static bool has_surrogate_escape(std::string_view body) {
    for (size_t k = body.find("\\u"); k != body.npos && k + 3 < body.size(); k = body.find("\\u", k + 1)) {
      const char hi = body[k + 2], next = body[k + 3];
      if ((hi == 'd' || hi == 'D') && std::strchr("89abcdefABCDEF", next) && next != '\0') return true;
    }
    return false;
  }

  // str() of a field value: strings as they are, other scalars in Python's text form.
  std::string_view text_of(od::value& v, bool& is_str) {
    is_str = false;
    switch (v.type()) {
      case od::json_type::string:
        is_str = true;
        return string_of(v);
      case od::json_type::number:
      case od::json_type::boolean:
      case od::json_type::null: {
        std::string_view token = trim_token(v.raw_json_token());
        if (!valid_number_token(token) && !valid_literal_token(token)) full_reader();
        return g_.arena.emplace_back(json::py_str(json::parse(token)));
      }
      default:
        full_reader();
    }
  }

  std::string_view text_of(od::value& v) {
    bool is_str;
    return text_of(v, is_str);
  }

  // Walks a value retrieval does not read, checking it without decoding it.
  void check(od::value v) {
    switch (v.type()) {
      case od::json_type::object:
        for (od::field f : v.get_object()) {
          key_of(f);
          check(f.value());
        }
        return;
      case od::json_type::array:
        for (auto element : v.get_array()) check(element.value());
        return;
      case od::json_type::string:
        if (!valid_string_token(trim_token(v.raw_json_token()))) full_reader();
        consume_string(v);
        return;
      case od::json_type::number:
        if (!valid_number_token(trim_token(v.raw_json_token()))) full_reader();
        return;
      case od::json_type::boolean:
      case od::json_type::null:
        if (!valid_literal_token(trim_token(v.raw_json_token()))) full_reader();
        return;
    }
    full_reader();
  }

  bool is_null(od::value& v) {
    if (v.type() != od::json_type::null) return false;
    check(v);
    return true;
  }

  // The text of the object `v` starts, once it has been walked.
  std::string_view walked_text(const char* start) {
    const char* end = doc_.current_location();
    std::string_view text = trim_token({start, static_cast<size_t>(end - start)});
    if (text.empty() || text.front() != '{' || text.back() != '}') full_reader();
    return text;
  }

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
          n.is_symbol = fv.type() == od::json_type::string ? string_of(fv) == "symbol" : (check(fv), false);
        } else if (key == "confidence") {
          n.confidence_high = fv.type() == od::json_type::string ? string_of(fv) == "high" : (check(fv), false);
        } else if (key == "summary") {
          if (is_null(fv)) n.summary = {};
          else if (fv.type() == od::json_type::string) n.summary = string_of(fv);
          else full_reader();
        } else if (key == "keywords") {
          keywords_.clear();
          if (!is_null(fv)) {
            for (auto k : fv.get_array()) {
              od::value kv = k.value();
              if (kv.type() != od::json_type::string) full_reader();
              keywords_.push_back(string_of(kv));
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
