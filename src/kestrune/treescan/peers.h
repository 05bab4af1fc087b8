// "structural_peer" edges: files of one directory whose names mark them as
// collaborating layers (a route file and its middleware, a model and its schema).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrune/lexscan/graph.h"

namespace kestrune::treescan {

// The pairs of stem patterns (case-insensitive, whole stem), in the order tried.
extern const std::pair<std::string_view, std::string_view> PEER_PAIRS[22];

// Two edges, one each way, for every pair of peers among `file_ids`: files
// of one directory, earlier file first, the first matching row deciding.
std::vector<lexscan::Edge> structural_peer_edges(const std::vector<std::string>& file_ids);

}  // namespace kestrune::treescan
