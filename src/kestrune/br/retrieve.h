// Retrieval: scores every node and edge of a graph for one query and chooses
// the best files (one entry per file) and relations.
//
// The Retriever works on field views, so any graph representation can feed it:
// the in-memory json::Value graph, or the graph file parsed in place.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/json.h"
#include "kestrune/br/br.h"
#include "kestrune/br/capability.h"
#include "kestrune/br/id_map.h"
#include "kestrune/br/query.h"
#include "kestrune/br/score.h"

namespace kestrune::br {

struct EdgeFields {
  std::string_view from, to, rel;  // text forms, "" when absent
  bool from_is_str = true, to_is_str = true;
};

// Rejects an edge that is not an object.
EdgeFields edge_fields(const json::Value& edge, TextArena& arena);

struct ChosenFile {
  size_t index;  // into the graph's nodes
  long long score;
  Role role;  // node_role(id, ext) of the entry as stored
};

// Which nodes and edges make the result, by position in the graph.
struct Selection {
  Intent intent = Intent::General;
  std::vector<ChosenFile> files;
  size_t fallback_files = 0;  // when `files` is empty: the first this many nodes, unchanged
  std::vector<size_t> edges;
  size_t fallback_edges = 0;  // when `edges` is empty: the first this many edges
};

// Python's len(seq[:limit]).
size_t slice_count(size_t size, long long limit);

// Feed order: add_node() for every node, then finish() with every edge.
// Views passed in must stay valid until finish() returns.
class Retriever {
  // The id_hash() of an edge's ends, worked out once for the passes over the edges.
  struct EndHashes {
    uint64_t from, to;
  };

 public:
  Retriever(std::string_view query, long long top_files, long long top_edges,
            const std::vector<CapabilityEntry>& caps);

  // Sizes the tables for a graph of this many nodes.
  void expect_nodes(size_t count);
  void add_node(size_t index, const NodeFields& n);
  Selection finish(size_t node_count, std::span<const EdgeFields> edges);
  // For files another ranker chose (`ids`: their entries' ids, and whether
  // each is a string): no node is fed; the edges are chosen among those files
  // as finish() chooses them among its own.
  Selection finish_with(std::vector<ChosenFile> files, std::span<const std::pair<std::string_view, bool>> ids,
                        size_t node_count, std::span<const EdgeFields> edges);

 private:
  Selection choose_edges(size_t node_count, std::span<const EdgeFields> edges,
                         std::span<const EndHashes> hashes);
  struct KeptNode {
    long long score;
    size_t index;
    std::string_view id;
    bool id_is_str, is_symbol;
    Role role;
  };
  struct KeptEdge {
    long long score;
    size_t index;
    std::string_view from, to;
  };
  // Best first: higher score, then smaller from, then smaller to, then earlier in the graph.
  static bool better_edge(const KeptEdge& a, const KeptEdge& b);

  long long most_from_edges() const;
  // Adds to each of `nodes` its share from `edges`, and drops those left at 0 or below.
  void add_edge_share(std::vector<KeptNode>& nodes, std::span<const EdgeFields> edges,
                      std::span<const EndHashes> hashes);
  void choose_files(std::span<const EdgeFields> edges, std::span<const EndHashes> hashes);
  // Chooses the best files of `nodes` (scored in full), which it reorders.
  void choose_among(std::vector<KeptNode>& nodes);
  static bool better_node(const KeptNode& a, const KeptNode& b);
  bool is_chosen(std::string_view id, uint64_t hash, bool is_str) const;
  void add_edge(size_t index, const EdgeFields& e, const EndHashes& hashes);

  Query query_;
  long long top_files_, top_edges_;
  CapabilityBoosts boosts_;
  std::vector<std::pair<std::string_view, long long>> prefix_boosts_, star_boosts_;
  std::vector<KeptNode> kept_nodes_;
  std::vector<KeptEdge> kept_edges_;
  std::vector<ChosenFile> chosen_;
  // Per chosen id: kStringId when a string id, kOtherId when another value, has that text.
  static constexpr unsigned char kStringId = 1, kOtherId = 2;
  IdMap<unsigned char> chosen_ids_;
  std::string scratch_, lowered_;
  // What the last edge's `from` gave: whether it is chosen, the terms in it.
  struct FromMemo {
    std::string_view text;
    bool is_str = true, valid = false, chosen = false;
    uint64_t terms = 0;
  } from_;
};

// The selection for a graph held in memory.
Selection select(const json::Value& graph, std::string_view query, long long top_files,
                 long long top_edges, const std::vector<CapabilityEntry>& caps);

// A chosen node as it appears in the result: the node without "content", then
// "_score", "_role", "_intent".
json::Value chosen_entry(const json::Value& node, const ChosenFile& chosen, Intent intent);

// The result a selection stands for, taken from `graph`.
RetrieveResult materialise(const json::Value& graph, const Selection& sel);

// retrieve() for the graph file at `path`: the streaming pass when it can
// answer, otherwise the full reader, which also gives the exact error.
RetrieveResult retrieve_file(const std::string& path, std::string_view query, long long top_files,
                             long long top_edges, const std::vector<CapabilityEntry>& caps);

// The same from one streaming pass over the mapped file, decoding only what
// scoring reads and the chosen entries; nullopt when the file needs the full
// reader (it is not valid JSON, or holds something the pass leaves to it).
std::optional<RetrieveResult> retrieve_file_streaming(const std::string& path, std::string_view query,
                                                     long long top_files, long long top_edges,
                                                     const std::vector<CapabilityEntry>& caps);

}  // namespace kestrune::br
