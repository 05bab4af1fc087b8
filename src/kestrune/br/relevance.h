// The relevance ranker: chooses the files a developer would open for a
// question by how rare and how well placed the question's words are in each
// file (its path, declarations, keywords and summary, text), by exact names the
// question gives, and by the imports between files. The result has the shape
// of the heuristic ranker's: one entry per file, edges chosen among them the
// same way.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/br/br.h"
#include "kestrune/br/capability.h"
#include "kestrune/br/relevance_index.h"
#include "kestrune/br/retrieve.h"

namespace kestrune::br {

// The ranker's knobs; the defaults are the measured choice.
struct RelevanceParams {
  double field_weight[kFieldCount] = {2.0, 2.0, 0.5, 1.0};
  double field_b[kFieldCount] = {0.3, 0.5, 0.5, 0.75};
  double k1 = 1.2;
  double part_weight = 0.6;      // a piece of a split identifier, against the whole word
  double name_boost = 0.5;       // an exact file or symbol name, times the best score
  double symbol_lift = 0.3;      // a symbol naming most of the question, times the file's score
  double import_share = 0.3;     // of the best score among the files it imports or is imported by
  double test_factor = 0.35;     // tests, unless the question is about testing
  double docs_factor = 0.5;      // documentation, unless the question asks to explain
  double data_factor = 0.5;      // JSON, YAML and the like
};

struct RelevanceTerm {
  std::string text;  // stemmed
  uint64_t hash;
  double weight;
};

// What the ranker takes from a question.
struct RelevanceQuery {
  std::vector<RelevanceTerm> terms;
  // Names written as code ("parse_args", "os.path.join", "grammar.js"), lower-cased.
  std::vector<std::string> names;
  Intent intent = Intent::General;
  // Whether the question names tests or documentation as what it is about.
  bool mentions_tests = false, mentions_docs = false;
};

RelevanceQuery analyse_relevance_query(std::string_view query, const RelevanceParams& params = {});

struct RankedFile {
  uint32_t doc;
  uint32_t entry;  // the node standing for the file: its file node or its best symbol
  double score;
};

// The best `top` files for `query`, best first.
std::vector<RankedFile> rank_files(const RelevanceIndex& index, std::string_view query, size_t top,
                                   const CapabilityBoosts* boosts = nullptr,
                                   const RelevanceParams& params = {});

// What a chosen entry is, by node index: its id (text form, and whether a
// string) and its role as its stored id and extension say.
struct EntryInfo {
  std::string id;
  bool id_is_str = true;
  Role role = Role::Code;
};
using EntryLookup = std::function<EntryInfo(uint32_t node)>;

// The selection for `query` over an index: the ranked files, then the edges
// among them chosen as the heuristic ranker chooses them.
Selection select_relevance(const RelevanceIndex& index, std::string_view query, long long top_files,
                           long long top_edges, const std::vector<CapabilityEntry>& caps, size_t node_count,
                           std::span<const EdgeFields> edges, const EntryLookup& entry,
                           const RelevanceParams& params = {});

// The same for a graph held in memory; its index is built for the call.
Selection select_relevance(const json::Value& graph, std::string_view query, long long top_files,
                           long long top_edges, const std::vector<CapabilityEntry>& caps);

// retrieve() with the relevance ranker for the graph file at `path`, using the
// index kept beside it (index_path()) while it matches the graph, and
// rebuilding it (written whole, when the directory allows) otherwise.
RetrieveResult retrieve_file_relevance(const std::string& path, std::string_view query, long long top_files,
                                       long long top_edges, const std::vector<CapabilityEntry>& caps);

}  // namespace kestrune::br
