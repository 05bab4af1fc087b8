// The scan driver and the lexscan command.
#pragma once

#include <string>

#include "kestrune/base/json.h"
#include "kestrune/lexscan/graph.h"

namespace kestrune::lexscan {

// The reuse map an earlier graph file offers: file id -> file node. Empty when
// the file is missing, unreadable, not JSON or not shaped like a graph.
json::Object load_reuse_map(const std::string& graph_path);

// The command: lexscan [--root R] [--out O]. Returns the exit status.
int command_main(int argc, char** argv);

}  // namespace kestrune::lexscan
