// Node scoring: how well one graph node answers a query.
#pragma once

#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/json.h"
#include "kestrune/br/query.h"

namespace kestrune::br {

// Thrown where a Python caller would get a TypeError (wrong argument or field type).
struct TypeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The parts of a node that scoring reads, in text form. Views must outlive the
// scoring call (and, for retrieval, the whole retrieval).
struct NodeFields {
  std::string_view id;       // str(node.get("id", ""))
  bool id_is_str = true;     // the id is a string (an absent id counts as "")
  std::string_view ext;      // str(node.get("ext", ""))
  std::string_view summary;  // "" when absent or null
  std::span<const std::string_view> keywords;
  bool is_symbol = false;        // kind == "symbol"
  bool confidence_high = false;  // confidence == "high"
};

// Owns the text of non-string fields so NodeFields can point at it.
using TextArena = std::deque<std::string>;

// Reads the scoring fields of one node map. `keywords` receives the keyword
// views; rejects a non-object node, keywords that are not a list of strings
// (or null), and a summary that is neither text nor null.
NodeFields node_fields(const json::Value& node, std::vector<std::string_view>& keywords,
                       TextArena& arena);

// The number of terms occurring in `lowered` (each term counted once per listing).
int count_terms(std::string_view lowered, const std::vector<std::string>& terms);
int score_text(std::string_view text, const std::vector<std::string>& terms);
bool query_scoped_to_feature(std::string_view q);

// Scores one node; `role` receives the role the score used.
long long score_fields(const NodeFields& node, const Query& query, Role* role = nullptr);
long long score_node(const json::Value& node, const std::vector<std::string>& terms,
                     std::string_view query);

}  // namespace kestrune::br
