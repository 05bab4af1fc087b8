// The scan driver and the lexscan command.
#pragma once

#include <optional>
#include <string>

#include "kestrune/base/json.h"
#include "kestrune/lexscan/graph.h"
#include "kestrune/lexscan/scan_driver.h"

namespace kestrune::lexscan {

// The regex scanner, for the scan driver.
const Scanner& regex_scanner();

// The node the reuse map holds for the file node `current` (id and
// fingerprint set), when its fingerprint still matches: keys the entry lacks
// take the values of `current`. Nothing when there is no match, or when the
// entry's fields have types no scan writes.
std::optional<Node> reused_node(const json::Object* reuse, const Node& current);

// The reuse map an earlier graph file offers: file id -> file node. Empty when
// the file is missing, unreadable, not JSON or not shaped like a graph.
json::Object load_reuse_map(const std::string& graph_path);

// The command: lexscan [--root R] [--out O]. Returns the exit status.
int command_main(int argc, char** argv);

}  // namespace kestrune::lexscan
