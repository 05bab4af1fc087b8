#include "kestrune/br/relevance.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <tuple>
#include <unordered_map>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/br/mapped_file.h"
#include "kestrune/br/terms.h"

namespace kestrune::br {
namespace {

bool is_word_byte(unsigned char c) { return terms_detail::is_word_byte(c); }
bool is_name_byte(unsigned char c) { return is_word_byte(c) || c == '.' || c == '-' || c == '/' || c == '$'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (is_upper(c)) c = static_cast<char>(c + 32);
  return out;
}

// Whether a run of the question is written as code rather than as prose.
bool looks_like_name(std::string_view run, bool quoted) {
  if (quoted) return true;
  bool word_before = false;
  for (size_t i = 0; i < run.size(); ++i) {
    const char c = run[i];
    const bool inner = i > 0 && i + 1 < run.size();
    if (inner && c == '_' && word_before) return true;
    if (inner && (c == '.' || c == '/') && word_before && is_word_byte(static_cast<unsigned char>(run[i + 1])))
      return true;
    if (i > 0 && is_upper(c) && is_lower(run[i - 1])) return true;
    word_before = is_word_byte(static_cast<unsigned char>(c));
  }
  return false;
}

}  // namespace

RelevanceQuery analyse_relevance_query(std::string_view query, const RelevanceParams& defaults) {
  RelevanceQuery q;
  q.intent = classify_intent(query);
  std::unordered_map<uint64_t, size_t> at;
  auto add = [&](std::string_view term, double weight) {
    const uint64_t h = term_hash(term);
    auto [it, added] = at.try_emplace(h, q.terms.size());
    if (added) q.terms.push_back({std::string(term), h, weight});
    else q.terms[it->second].weight = std::max(q.terms[it->second].weight, weight);
  };
  const size_t n = query.size();
  for (size_t i = 0; i < n;) {
    if (!is_word_byte(static_cast<unsigned char>(query[i]))) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < n && is_word_byte(static_cast<unsigned char>(query[j]))) ++j;
    const std::string_view run = query.substr(i, j - i);
    i = j;
    const std::string low = ascii_lower(run);
    if (is_stop_word(low)) continue;
    for (std::string_view w : {"test", "tests", "testing", "unittest", "pytest", "spec", "specs", "fixture", "fixtures", "mock", "mocks"})
      if (low == w) q.mentions_tests = true;
    for (std::string_view w : {"doc", "docs", "documentation", "documented", "readme", "guide", "tutorial", "manual", "changelog"})
      if (low == w) q.mentions_docs = true;
    for_each_term(run, [&](std::string_view term, bool whole) {
      add(term, whole ? 1.0 : defaults.part_weight);
    });
  }
  // Names: runs of identifier characters, dots, dashes and slashes that read as code.
  for (size_t i = 0; i < n;) {
    if (!is_name_byte(static_cast<unsigned char>(query[i]))) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < n && is_name_byte(static_cast<unsigned char>(query[j]))) ++j;
    std::string_view run = query.substr(i, j - i);
    const bool quoted = i > 0 && j < n && (query[i - 1] == '`' || query[i - 1] == '\'' || query[i - 1] == '"') &&
                        query[j] == query[i - 1];
    i = j;
    while (!run.empty() && (run.back() == '.' || run.back() == '-' || run.back() == '/')) run.remove_suffix(1);
    while (!run.empty() && (run.front() == '.' || run.front() == '-' || run.front() == '/')) run.remove_prefix(1);
    if (run.size() < 3 || !looks_like_name(run, quoted)) continue;
    std::string low = ascii_lower(run);
    if (std::find(q.names.begin(), q.names.end(), low) == q.names.end()) q.names.push_back(std::move(low));
  }
  return q;
}

namespace {

struct Scored {
  double base = 0, final = 0;
  double near = 0;  // the best score among the files it imports or is imported by
  bool touched = false;
};

bool name_is_file(std::string_view name) {
  const std::string ext = fs::suffix(name);
  return ext.size() >= 2 && ext.size() <= 6 && std::all_of(ext.begin() + 1, ext.end(), [](char c) {
           return is_lower(c) || (c >= '0' && c <= '9');
         });
}

// The file names a name could stand for: "json/decoder.py" is a path tail,
// "grammar.js" a base name, "parse_args" may be a file's stem.
bool names_file(std::string_view id_lower, std::string_view name) {
  if (id_lower == name) return true;
  if (id_lower.size() > name.size() && id_lower.ends_with(name) && id_lower[id_lower.size() - name.size() - 1] == '/')
    return true;
  const std::string_view base = id_lower.substr(id_lower.rfind('/') + 1);
  const size_t dot = base.find('.');
  return dot != base.npos && base.substr(0, dot) == name;
}

}  // namespace

std::vector<RankedFile> rank_files(const RelevanceIndex& ix, std::string_view query, size_t top,
                                   const CapabilityBoosts* boosts, const RelevanceParams& p) {
  const RelevanceQuery q = analyse_relevance_query(query, p);
  const size_t n_docs = ix.doc_count();
  if (n_docs == 0 || top == 0) return {};
  std::vector<Scored> s(n_docs);
  std::vector<uint32_t> touched;
  std::vector<double> term_idf(q.terms.size());
  const double N = static_cast<double>(n_docs);
  double avg[kFieldCount];
  for (int f = 0; f < kFieldCount; ++f) avg[f] = std::max(1.0, static_cast<double>(ix.avg_len(f)));

  for (size_t t = 0; t < q.terms.size(); ++t) {
    const auto postings = ix.postings(q.terms[t].hash);
    if (postings.empty()) continue;
    const double df = static_cast<double>(postings.size());
    const double idf = std::log(1.0 + (N - df + 0.5) / (df + 0.5));
    term_idf[t] = idf;
    const double w = q.terms[t].weight * idf;
    for (const auto& post : postings) {
      const RelevanceIndex::Doc& d = ix.doc(post.doc);
      double tf = 0;
      for (int f = 0; f < kFieldCount; ++f) {
        if (!post.tf[f]) continue;
        const double norm = 1.0 - p.field_b[f] + p.field_b[f] * d.len[f] / avg[f];
        tf += p.field_weight[f] * post.tf[f] / norm;
      }
      Scored& sc = s[post.doc];
      if (!sc.touched) {
        sc.touched = true;
        touched.push_back(post.doc);
      }
      sc.base += w * tf * (p.k1 + 1) / (p.k1 + tf);
    }
  }
  if (touched.empty()) return {};

  double best = 0;
  for (uint32_t d : touched) best = std::max(best, s[d].base);

  // Exact names: a file named so, or a declaration of that name.
  for (const std::string& name : q.names) {
    const bool file_like = name_is_file(name);
    std::string tail = name;
    if (!file_like)
      if (size_t dot = tail.find_last_of("./"); dot != tail.npos) tail = tail.substr(dot + 1);
    for (uint32_t d = 0; d < n_docs; ++d) {
      const std::string id = ascii_lower(ix.doc_id(ix.doc(d)));
      if (names_file(id, name) || (!file_like && names_file(id, tail))) {
        if (!s[d].touched) touched.push_back(d), s[d].touched = true;
        s[d].base += p.name_boost * best;
      }
    }
    if (file_like) continue;
    std::string whole;
    for_each_term(tail, [&](std::string_view term, bool is_whole) {
      if (is_whole) whole = term;
    });
    if (whole.empty()) continue;
    for (const auto& post : ix.postings(term_hash(whole))) {
      if (!post.tf[kDefsField]) continue;
      Scored& sc = s[post.doc];
      if (!sc.touched) touched.push_back(post.doc), sc.touched = true;
      sc.base += p.name_boost * best;
    }
  }

  // What kind of file answers this kind of question.
  const bool wants_tests = q.intent == Intent::Test || q.mentions_tests;
  const bool wants_docs = q.mentions_docs;
  for (uint32_t d : touched) {
    double& b = s[d].base;
    switch (static_cast<DocKind>(ix.doc(d).kind)) {
      case DocKind::Test:
        if (!wants_tests) b *= p.test_factor;
        break;
      case DocKind::Docs:
        if (!wants_docs) b *= p.docs_factor;
        break;
      case DocKind::Data:
        b *= p.data_factor;
        break;
      case DocKind::Code:
        break;
    }
    if (boosts && !boosts->empty()) {
      const std::string_view id = ix.doc_id(ix.doc(d));
      long long boost = 0;
      if (const long long* v = boosts->find(id)) boost += *v;
      for (const auto& [key, value] : boosts->entries())
        if ((text::ends_with(key, "/") && text::starts_with(id, key)) ||
            (text::ends_with(key, "*") && text::starts_with(id, std::string_view(key).substr(0, key.size() - 1))))
          boost += value;
      b *= 1.0 + 0.1 * static_cast<double>(boost);
    }
  }

  // Imports: a file gains a share of the best file it imports or is imported
  // by. Links go both ways (each import list has its reverse), and only a
  // scored file has a share to give: so each scored file hands its score to
  // its neighbours, and only its lists are read.
  const size_t scored = touched.size();
  for (size_t i = 0; i < scored; ++i) {
    const uint32_t d = touched[i];
    const RelevanceIndex::Doc& doc = ix.doc(d);
    for (const std::vector<uint32_t>& links : {ix.imports(doc), ix.imported_by(doc)})
      for (uint32_t other : links) {
        if (!s[other].touched) touched.push_back(other), s[other].touched = true;
        s[other].near = std::max(s[other].near, s[d].base);
      }
  }
  for (uint32_t d : touched) s[d].final = s[d].base + p.import_share * s[d].near;

  std::vector<uint32_t> order;
  for (uint32_t d : touched)
    if (s[d].final > 0) order.push_back(d);
  auto better = [&](uint32_t a, uint32_t b) {
    if (s[a].final != s[b].final) return s[a].final > s[b].final;
    return ix.doc_id(ix.doc(a)) < ix.doc_id(ix.doc(b));
  };
  const size_t keep = std::min(top, order.size());
  std::partial_sort(order.begin(), order.begin() + static_cast<long>(keep), order.end(), better);
  order.resize(keep);

  // The entry for each file: its best symbol when that symbol's name says
  // most of what the question asks, else the file itself.
  std::vector<RankedFile> out;
  double total_idf = 0;
  for (size_t t = 0; t < q.terms.size(); ++t) total_idf += q.terms[t].weight * term_idf[t];
  for (uint32_t d : order) {
    const RelevanceIndex::Doc& doc = ix.doc(d);
    uint32_t entry = doc.node;
    double best_cover = 0;
    for (const auto& sym : ix.symbols(doc)) {
      double cover = 0;
      std::vector<size_t> hit;
      for_each_term(ix.symbol_name(sym), [&](std::string_view term, bool) {
        const uint64_t h = term_hash(term);
        for (size_t t = 0; t < q.terms.size(); ++t)
          if (q.terms[t].hash == h && std::find(hit.begin(), hit.end(), t) == hit.end()) {
            hit.push_back(t);
            cover += q.terms[t].weight * term_idf[t];
          }
      });
      if (cover > best_cover) {
        best_cover = cover;
        if (total_idf > 0 && cover / total_idf >= 0.5) entry = sym.node;
      }
    }
    if (entry == kNoNode && !ix.symbols(doc).empty()) entry = ix.symbols(doc).front().node;
    double score = s[d].final;
    if (total_idf > 0) score += p.symbol_lift * s[d].final * best_cover / total_idf;
    out.push_back({d, entry, score});
  }
  std::stable_sort(out.begin(), out.end(), [](const RankedFile& a, const RankedFile& b) { return a.score > b.score; });
  return out;
}

Selection select_relevance(const RelevanceIndex& ix, std::string_view query, long long top_files,
                           long long top_edges, const std::vector<CapabilityEntry>& caps, size_t node_count,
                           std::span<const EdgeFields> edges, const EntryLookup& entry,
                           const RelevanceParams& params) {
  Retriever retriever(query, top_files, top_edges, caps);
  const CapabilityBoosts boosts = capability_file_boosts(tokenize_query(query), caps);
  std::vector<ChosenFile> files;
  std::deque<EntryInfo> infos;
  std::vector<std::pair<std::string_view, bool>> ids;
  if (top_files > 0) {
    const size_t top = static_cast<size_t>(std::min<long long>(top_files, 1 << 24));
    for (const RankedFile& r : rank_files(ix, query, top, &boosts, params)) {
      if (r.entry == kNoNode) continue;
      const EntryInfo& info = infos.emplace_back(entry(r.entry));
      files.push_back({r.entry, std::llround(r.score * 100), info.role});
      ids.emplace_back(info.id, info.id_is_str);
    }
  }
  return retriever.finish_with(std::move(files), ids, node_count, edges);
}

namespace {

EntryInfo entry_info(const json::Value& node) {
  EntryInfo info;
  if (!node.is_object()) return info;
  std::string ext;
  if (const auto* id = node.find("id")) {
    info.id = id->is_string() ? id->as_string() : json::py_str(*id);
    info.id_is_str = id->is_string();
  }
  if (const auto* e = node.find("ext")) ext = e->is_string() ? e->as_string() : json::py_str(*e);
  info.role = node_role(info.id, ext);
  return info;
}

const json::Array* array_member(const json::Value& graph, std::string_view key) {
  const json::Value* v = graph.find(key);
  if (!v || v->is_null()) return nullptr;
  if (!v->is_array()) throw TypeError("graph " + std::string(key) + " must be a list");
  return &v->as_array();
}

}  // namespace

Selection select_relevance(const json::Value& graph, std::string_view query, long long top_files,
                           long long top_edges, const std::vector<CapabilityEntry>& caps) {
  if (!graph.is_object()) throw TypeError("graph must be a dict");
  static const json::Array kEmpty;
  const json::Array* nodes = array_member(graph, "nodes");
  const json::Array* edges = array_member(graph, "edges");
  if (!nodes) nodes = &kEmpty;
  if (!edges) edges = &kEmpty;
  // The heuristic ranker's checks of node fields hold here too.
  {
    TextArena arena;
    std::vector<std::string_view> keywords;
    for (const auto& node : *nodes) node_fields(node, keywords, arena);
  }
  const std::string image = build_index(graph);
  const std::optional<RelevanceIndex> ix = RelevanceIndex::open(image);
  if (!ix) throw std::runtime_error("relevance index could not be built");
  TextArena arena;
  std::vector<EdgeFields> edge_views;
  edge_views.reserve(edges->size());
  for (const auto& e : *edges) edge_views.push_back(edge_fields(e, arena));
  return select_relevance(*ix, query, top_files, top_edges, caps, nodes->size(), edge_views,
                          [&](uint32_t node) { return entry_info((*nodes)[node]); });
}

namespace {

// An index image, mapped from its file or held after being built.
struct LoadedIndex {
  std::unique_ptr<MappedFile> mapped;
  std::string built;
  std::optional<RelevanceIndex> index;
};

// The graph file, open: answers read the few nodes and edges they give from
// it, never the whole file.
struct OpenGraph {
  fs::OpenedFile file;
  FileSignature signature;  // size and time; the digest only when taken
  FileIdentity identity;
};

std::optional<OpenGraph> open_graph(const std::string& path) {
  OpenGraph g;
  try {
    g.file = fs::open_for_reading(path);
  } catch (const fs::OsError&) {
    return std::nullopt;
  }
  if (g.file.found != fs::Found::File) return std::nullopt;
  const auto stat = stat_graph(g.file.fd.get());
  if (!stat) return std::nullopt;
  std::tie(g.signature, g.identity) = *stat;
  return g;
}

// Whether `ix` was made from the graph as it is: the same size, time and
// digest. The digest is read from the bytes only when the graph is not
// provably the very file the index was made from, untouched since.
bool made_from(const RelevanceIndex& ix, const OpenGraph& g) {
  const FileSignature& made = ix.graph_signature();
  if (made.size != g.signature.size || made.mtime_ns != g.signature.mtime_ns) return false;
  if (g.identity.ctime_ns != 0 && g.identity.ctime_ns < ix.identity_time_ns() && ix.graph_identity() == g.identity)
    return true;
  const MappedFile bytes(g.file.fd.get(), g.signature.size, 0);
  return bytes.data() && digest64(bytes.text()) == made.digest;
}

// The index beside `path` when it was made from the graph as it is now.
bool load_current(const std::string& path, const OpenGraph& graph, LoadedIndex& out) {
  out.mapped = std::make_unique<MappedFile>(index_path(path), 0);
  if (!out.mapped->data()) return false;
  out.index = RelevanceIndex::open(out.mapped->text());
  return out.index && out.index->has_ranges() && made_from(*out.index, graph);
}

// The JSON text the graph file holds at `r`.
json::Value parse_range(const OpenGraph& g, TextRange r) {
  std::string text(r.size, '\0');
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::pread(g.file.fd.get(), text.data() + done, text.size() - done,
                              static_cast<off_t>(r.offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw fs::OsError(n < 0 ? errno : EIO, "graph file");
    done += static_cast<size_t>(n);
  }
  return json::parse(text);
}

}  // namespace

RetrieveResult retrieve_file_relevance(const std::string& path, std::string_view query, long long top_files,
                                       long long top_edges, const std::vector<CapabilityEntry>& caps) {
  std::optional<OpenGraph> graph;
  LoadedIndex loaded;
  for (int attempt = 0;; ++attempt) {
    graph = open_graph(path);
    if (graph && load_current(path, *graph, loaded)) break;
    // A stale index (the graph was rescanned) still lends the entries of the files that did not change.
    LoadedIndex stale = std::exchange(loaded, {});
    std::optional<std::string> built =
        graph && attempt < 3 ? build_index_from_file(path, stale.index ? &*stale.index : nullptr) : std::nullopt;
    stale = {};
    if (!built) {
      // A graph the index cannot map (an unusual layout, or one that keeps
      // changing): answered from memory.
      json::Value g = json::load_file(path);
      if (!g.is_object()) throw TypeError("graph must be a dict");
      return materialise(g, select_relevance(g, query, top_files, top_edges, caps));
    }
    try {
      // A cache of the graph: after a power loss it may be found empty, and is then built again.
      fs::write_atomic(index_path(path), *built, fs::AtomicWriter::Commit::cheap);
    } catch (const fs::OsError&) {
      // A read-only data directory: the index serves this call only.
    }
    loaded.built = std::move(*built);
    loaded.index = RelevanceIndex::open(loaded.built);
    if (!loaded.index) throw std::runtime_error("relevance index could not be built");
    // The ranges belong to the text the index was made from: the graph must
    // not have been replaced meanwhile.
    graph = open_graph(path);
    if (graph && made_from(*loaded.index, *graph)) break;
  }
  const RelevanceIndex& ix = *loaded.index;
  std::vector<EdgeFields> edges(ix.edge_count());
  for (size_t i = 0; i < edges.size(); ++i) {
    const IndexEdge e = ix.edge(i);
    edges[i] = {e.from, e.to, e.rel, e.from_is_str, e.to_is_str};
  }
  std::unordered_map<uint32_t, json::Value> parsed;
  auto node_at = [&](uint32_t i) -> const json::Value& {
    auto it = parsed.find(i);
    if (it == parsed.end()) it = parsed.emplace(i, parse_range(*graph, ix.node_text(i))).first;
    return it->second;
  };
  Selection sel = select_relevance(ix, query, top_files, top_edges, caps, ix.node_count(), edges,
                                   [&](uint32_t node) { return entry_info(node_at(node)); });
  RetrieveResult out;
  for (const ChosenFile& c : sel.files) out.files.push_back(chosen_entry(node_at(static_cast<uint32_t>(c.index)), c, sel.intent));
  for (size_t i = 0; i < sel.fallback_files; ++i) out.files.push_back(parse_range(*graph, ix.node_text(i)));
  for (size_t i : sel.edges) out.edges.push_back(parse_range(*graph, ix.edge(i).text));
  for (size_t i = 0; i < sel.fallback_edges; ++i) out.edges.push_back(parse_range(*graph, ix.edge(i).text));
  return out;
}

std::optional<Ranker> ranker_from_name(std::string_view name) {
  if (name == "heuristic") return Ranker::Heuristic;
  if (name == "relevance") return Ranker::Relevance;
  return std::nullopt;
}

std::string_view ranker_name(Ranker ranker) { return ranker == Ranker::Heuristic ? "heuristic" : "relevance"; }

Ranker default_ranker() {
  const char* env = std::getenv("KESTRUNE_RANKER");
  if (!env) return Ranker::Heuristic;
  if (auto r = ranker_from_name(env)) return *r;
  throw SettingError("KESTRUNE_RANKER must be 'heuristic' or 'relevance', not " +
                              json::py_repr(json::Value(std::string(env))));
}

RetrieveResult retrieve(const json::Value& graph, std::string_view query, long long top_files, long long top_edges,
                        Ranker ranker) {
  if (ranker == Ranker::Heuristic) return retrieve(graph, query, top_files, top_edges);
  const auto caps = load_capability_index(paths().capability_index);
  return materialise(graph, select_relevance(graph, query, top_files, top_edges, caps));
}

}  // namespace kestrune::br
