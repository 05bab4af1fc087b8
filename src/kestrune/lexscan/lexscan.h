// The regex scanner: turns a project tree into the information graph
// (info_graph.json) and its symbol index (symbol_index.json).
//
// This is the face other modules use; the pieces behind it live in graph.h,
// walk.h, symbols.h, relations.h, keywords.h and scan.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/json.h"

namespace kestrune::lexscan {

// The graph record of a scan of `root` (root passed unchanged to walk/rel; its text is the record's "root").
// existing_nodes: file id -> earlier serialised file node (may be null). threads: 0 = all cores.
json::Value scan(const std::string& root, const json::Object* existing_nodes = nullptr, unsigned threads = 0);
// The symbol_index.json record for a graph record.
json::Value symbol_index(const json::Value& graph);
// Writes info_graph.json (indent 2) at `out` and symbol_index.json beside it, each replaced whole.
void write_graph_files(const json::Value& graph, const std::string& out);
std::vector<std::string> walk_files(const std::string& root);
std::vector<json::Value> extract_symbols_ts(std::string_view content, std::string_view file_path);
std::vector<json::Value> extract_symbols_py(std::string_view content, std::string_view file_path);

}  // namespace kestrune::lexscan
