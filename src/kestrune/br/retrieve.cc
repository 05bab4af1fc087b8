#include "kestrune/br/retrieve.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "kestrune/base/text.h"
#include "kestrune/br/contains.h"

namespace kestrune::br {
namespace {

std::string_view text_of(const json::Value& v, TextArena& arena) {
  if (v.is_string()) return v.as_string();
  return arena.emplace_back(json::py_str(v));
}

}  // namespace

size_t slice_count(size_t size, long long limit) {
  if (limit >= 0) return std::min<unsigned long long>(size, static_cast<unsigned long long>(limit));
  unsigned long long drop = limit == INT64_MIN ? static_cast<unsigned long long>(INT64_MAX) + 1
                                               : static_cast<unsigned long long>(-limit);
  return drop >= size ? 0 : size - drop;
}

EdgeFields edge_fields(const json::Value& edge, TextArena& arena) {
  if (!edge.is_object()) throw TypeError("edge must be a dict");
  EdgeFields f;
  if (const auto* v = edge.find("from")) f.from = text_of(*v, arena), f.from_is_str = v->is_string();
  if (const auto* v = edge.find("to")) f.to = text_of(*v, arena), f.to_is_str = v->is_string();
  if (const auto* v = edge.find("rel")) f.rel = text_of(*v, arena);
  return f;
}

Retriever::Retriever(std::string_view query, long long top_files, long long top_edges,
                     const std::vector<CapabilityEntry>& caps)
    : query_(analyse_query(query)), top_files_(top_files), top_edges_(top_edges) {
  boosts_ = capability_file_boosts(query_.terms, caps);
  for (const auto& [key, boost] : boosts_.entries()) {
    if (text::ends_with(key, "/"))
      prefix_boosts_.emplace_back(key, boost);
    else if (text::ends_with(key, "*"))
      star_boosts_.emplace_back(std::string_view(key).substr(0, key.size() - 1), boost);
  }
}

void Retriever::expect_nodes(size_t count) { kept_nodes_.reserve(count); }

long long Retriever::most_from_edges() const {
  return 4 + (query_.button ? 6 : 0) + (query_.badge ? 4 : 0);
}

// An edge's share for a node: a point for every three edge ends at its id (at
// most 4), and for button or badge questions, whether it imports a button or
// a badge. Only the nodes still in the running get it, so their ids make a
// table small enough to stay in the cache while every edge is looked up.
void Retriever::add_edge_share(std::vector<KeptNode>& nodes, std::span<const EdgeFields> edges,
                               std::span<const EndHashes> hashes) {
  struct Touch {
    uint32_t degree = 0;
    bool button_consumer = false, badge_consumer = false;
  };
  IdMap<Touch> touches(nodes.size());
  for (const KeptNode& k : nodes) touches[k.id];
  for (size_t i = 0; i < edges.size(); ++i) {
    const EdgeFields& e = edges[i];
    Touch* from = touches.find(e.from, hashes[i].from);
    if (from && !e.from.empty()) ++from->degree;
    if (!e.to.empty())
      if (Touch* t = touches.find(e.to, hashes[i].to)) ++t->degree;
    if (e.rel == "imports")
      if (Touch* t = from) {
        lower_into(scratch_, e.to);
        t->button_consumer |= contains(scratch_, "button");
        t->badge_consumer |= contains(scratch_, "badge");
      }
  }
  for (KeptNode& k : nodes) {
    const Touch& t = *touches.find(k.id);
    k.score += std::min<long long>(t.degree / 3, 4);
    if (query_.button && t.button_consumer) k.score += 6;
    if (query_.button && !query_.badge && t.badge_consumer) k.score -= 2;
    if (query_.badge && t.badge_consumer) k.score += 4;
  }
  std::erase_if(nodes, [](const KeptNode& k) { return k.score <= 0; });
}

void Retriever::add_node(size_t index, const NodeFields& n) {
  Role role;
  long long s = score_fields(n, query_, &role);
  if (!boosts_.empty())
    if (const long long* b = boosts_.find(n.id)) s += *b;
  for (const auto& [prefix, boost] : prefix_boosts_)
    if (text::starts_with(n.id, prefix)) s += boost;
  for (const auto& [prefix, boost] : star_boosts_)
    if (text::starts_with(n.id, prefix)) s += boost;
  // The edges' share comes once all edges are counted; a node that cannot
  // reach a positive score even with the most they can add is dropped now.
  if (s + most_from_edges() <= 0) return;
  // The entry keeps the stored extension, which scoring saw lower-cased.
  if (n.ext != ".md" && role == Role::Docs) role = node_role(n.id, n.ext);
  kept_nodes_.push_back({s, index, n.id, n.id_is_str, n.is_symbol, role});
}

// Best first: higher score, then smaller id, then earlier in the graph.
bool Retriever::better_node(const KeptNode& a, const KeptNode& b) {
  if (a.score != b.score) return a.score > b.score;
  const int c = text::compare(a.id, b.id);
  return c != 0 ? c < 0 : a.index < b.index;
}

// Only the few best nodes can be chosen, so the edges' share goes first to
// the nodes best without it and the files are chosen among them; then every
// other node that could reach the last chosen file's score with the most
// edges can add gets it too, and the choice is made again. Any node left out
// stays below that score, so it comes after every chosen file (a node equal to
// it might win on its id, so it is not left out). The second choice can only
// raise that score: more nodes give each base a best node at least as good.
void Retriever::choose_files(std::span<const EdgeFields> edges, std::span<const EndHashes> hashes) {
  if (top_files_ <= 0) return;
  const size_t first = std::min<size_t>(
      kept_nodes_.size(), static_cast<size_t>(std::min<long long>(top_files_, 1 << 20)) * 4 + 64);
  std::nth_element(kept_nodes_.begin(), kept_nodes_.begin() + first, kept_nodes_.end(),
                   [](const KeptNode& a, const KeptNode& b) { return a.score > b.score; });
  std::vector<KeptNode> done(kept_nodes_.begin(), kept_nodes_.begin() + first);
  add_edge_share(done, edges, hashes);
  choose_among(done);
  const long long floor = static_cast<long long>(chosen_.size()) == top_files_
                              ? chosen_.back().score - most_from_edges()
                              : std::numeric_limits<long long>::min();
  std::vector<KeptNode> more;
  for (size_t i = first; i < kept_nodes_.size(); ++i)
    if (kept_nodes_[i].score >= floor) more.push_back(kept_nodes_[i]);
  if (more.empty()) return;
  add_edge_share(more, edges, hashes);
  done.insert(done.end(), more.begin(), more.end());
  choose_among(done);
}

void Retriever::choose_among(std::vector<KeptNode>& nodes) {
  chosen_.clear();
  chosen_ids_ = IdMap<unsigned char>();
  // Scores are small numbers shared by many nodes, so the heap orders by
  // score alone and each score's nodes are sorted by id only when reached.
  auto lower_score = [](const KeptNode& a, const KeptNode& b) { return a.score < b.score; };
  std::make_heap(nodes.begin(), nodes.end(), lower_score);
  IdMap<bool> seen;
  std::vector<KeptNode> same_score;
  auto end = nodes.end();
  while (end != nodes.begin() && static_cast<long long>(chosen_.size()) < top_files_) {
    same_score.clear();
    for (const long long s = nodes.front().score; end != nodes.begin() && nodes.front().score == s;) {
      std::pop_heap(nodes.begin(), end, lower_score);
      same_score.push_back(*--end);
    }
    std::sort(same_score.begin(), same_score.end(), better_node);
    for (const KeptNode& k : same_score) {
      if (static_cast<long long>(chosen_.size()) >= top_files_) break;
      std::string_view base = k.id;
      if (k.is_symbol) base = base.substr(0, base.find("::"));
      if (std::exchange(seen[base], true)) continue;
      chosen_.push_back({k.index, k.score, k.role});
      chosen_ids_[k.id] |= k.id_is_str ? kStringId : kOtherId;
    }
  }
}

bool Retriever::is_chosen(std::string_view id, uint64_t hash, bool is_str) const {
  const unsigned char* kinds = chosen_ids_.find(id, hash);
  return kinds && (*kinds & (is_str ? kStringId : kOtherId));
}

bool Retriever::better_edge(const KeptEdge& a, const KeptEdge& b) {
  if (a.score != b.score) return a.score > b.score;
  if (a.from != b.from) return text::compare(a.from, b.from) < 0;
  if (a.to != b.to) return text::compare(a.to, b.to) < 0;
  return a.index < b.index;
}

void Retriever::add_edge(size_t index, const EdgeFields& e, const EndHashes& hashes) {
  // The edge is scored as the text "from rel to". A file's edges usually
  // follow one another, so what depends on `from` alone is kept for the next.
  // Lower-casing the pieces apart gives the joined text's lower case: a space
  // ends a word for the final-sigma rule just as the text's end does.
  const TermCounter& terms = query_.term_counter;
  if (e.from != from_.text || e.from_is_str != from_.is_str || !from_.valid) {
    from_ = {e.from, e.from_is_str, true, is_chosen(e.from, hashes.from, e.from_is_str),
             terms.by_mask() ? terms.mask(lowered(lowered_, e.from)) : 0};
  }
  long long s;
  if (terms.by_mask()) {
    uint64_t m = from_.terms;
    m |= terms.mask(lowered(lowered_, e.rel));  // one at a time: they share the buffer
    m |= terms.mask(lowered(lowered_, e.to));
    s = 2LL * std::popcount(m);
  } else {
    scratch_.clear();
    scratch_.append(e.from).append(" ").append(e.rel).append(" ").append(e.to);
    s = 2LL * terms.count(lowered(lowered_, scratch_));
  }
  if (from_.chosen || is_chosen(e.to, hashes.to, e.to_is_str)) s += 4;
  if (!boosts_.empty() &&
      ((e.from_is_str && boosts_.find(e.from)) || (e.to_is_str && boosts_.find(e.to))))
    s += 2;
  if (e.rel == "imports") s += 1;
  if (s <= 0) return;
  // Only the best top_edges_ so far are kept, the worst of them at the front.
  const KeptEdge k{s, index, e.from, e.to};
  if (kept_edges_.size() < static_cast<unsigned long long>(top_edges_)) {
    kept_edges_.push_back(k);
    std::push_heap(kept_edges_.begin(), kept_edges_.end(), better_edge);
  } else if (better_edge(k, kept_edges_.front())) {
    std::pop_heap(kept_edges_.begin(), kept_edges_.end(), better_edge);
    kept_edges_.back() = k;
    std::push_heap(kept_edges_.begin(), kept_edges_.end(), better_edge);
  }
}

Selection Retriever::finish(size_t node_count, std::span<const EdgeFields> edges) {
  std::vector<EndHashes> hashes(edges.size());
  for (size_t i = 0; i < edges.size(); ++i) hashes[i] = {id_hash(edges[i].from), id_hash(edges[i].to)};
  choose_files(edges, hashes);
  return choose_edges(node_count, edges, hashes);
}

Selection Retriever::finish_with(std::vector<ChosenFile> files,
                                 std::span<const std::pair<std::string_view, bool>> ids, size_t node_count,
                                 std::span<const EdgeFields> edges) {
  std::vector<EndHashes> hashes(edges.size());
  for (size_t i = 0; i < edges.size(); ++i) hashes[i] = {id_hash(edges[i].from), id_hash(edges[i].to)};
  chosen_ = std::move(files);
  chosen_ids_ = IdMap<unsigned char>();
  for (const auto& [id, is_str] : ids) chosen_ids_[id] |= is_str ? kStringId : kOtherId;
  return choose_edges(node_count, edges, hashes);
}

Selection Retriever::choose_edges(size_t node_count, std::span<const EdgeFields> edges,
                                  std::span<const EndHashes> hashes) {
  if (top_edges_ > 0)  // otherwise no edge is chosen
    for (size_t i = 0; i < edges.size(); ++i) add_edge(i, edges[i], hashes[i]);
  const size_t edge_count = edges.size();
  Selection sel;
  sel.intent = query_.intent;
  sel.files = std::move(chosen_);
  if (sel.files.empty()) sel.fallback_files = slice_count(node_count, top_files_);
  std::sort_heap(kept_edges_.begin(), kept_edges_.end(), better_edge);
  for (const KeptEdge& k : kept_edges_) sel.edges.push_back(k.index);
  if (sel.edges.empty()) sel.fallback_edges = slice_count(edge_count, top_edges_);
  return sel;
}

namespace {

const json::Array* list_member(const json::Value& graph, std::string_view key) {
  const json::Value* v = graph.find(key);
  if (!v || v->is_null()) return nullptr;
  if (!v->is_array()) throw TypeError("graph " + std::string(key) + " must be a list");
  return &v->as_array();
}

}  // namespace

Selection select(const json::Value& graph, std::string_view query, long long top_files,
                 long long top_edges, const std::vector<CapabilityEntry>& caps) {
  if (!graph.is_object()) throw TypeError("graph must be a dict");
  static const json::Array kEmpty;
  const json::Array* nodes = list_member(graph, "nodes");
  const json::Array* edges = list_member(graph, "edges");
  if (!nodes) nodes = &kEmpty;
  if (!edges) edges = &kEmpty;

  Retriever r(query, top_files, top_edges, caps);
  r.expect_nodes(nodes->size());
  TextArena arena;
  std::vector<std::string_view> keywords;
  for (size_t i = 0; i < nodes->size(); ++i) r.add_node(i, node_fields((*nodes)[i], keywords, arena));
  std::vector<EdgeFields> edge_views;
  edge_views.reserve(edges->size());
  for (const auto& e : *edges) edge_views.push_back(edge_fields(e, arena));
  return r.finish(nodes->size(), edge_views);
}

json::Value chosen_entry(const json::Value& node, const ChosenFile& chosen, Intent intent) {
  json::Object copy;
  for (const auto& m : node.as_object())
    if (m.key != "content") copy.append(m.key, m.value);
  copy.set("_score", chosen.score);
  copy.set("_role", std::string(role_name(chosen.role)));
  copy.set("_intent", std::string(intent_name(intent)));
  return copy;
}

RetrieveResult materialise(const json::Value& graph, const Selection& sel) {
  RetrieveResult out;
  const json::Value* nodes = graph.find("nodes");
  const json::Value* edges = graph.find("edges");
  for (const auto& c : sel.files)
    out.files.push_back(chosen_entry(nodes->as_array()[c.index], c, sel.intent));
  for (size_t i = 0; i < sel.fallback_files; ++i) out.files.push_back(nodes->as_array()[i]);
  for (size_t i : sel.edges) out.edges.push_back(edges->as_array()[i]);
  for (size_t i = 0; i < sel.fallback_edges; ++i) out.edges.push_back(edges->as_array()[i]);
  return out;
}

RetrieveResult retrieve(const json::Value& graph, std::string_view query, long long top_files,
                        long long top_edges) {
  auto caps = load_capability_index(paths().capability_index);
  return materialise(graph, select(graph, query, top_files, top_edges, caps));
}

}  // namespace kestrune::br
