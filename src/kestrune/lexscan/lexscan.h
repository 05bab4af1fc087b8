// The regex scanner: turns a project tree into the information graph
// (info_graph.json) and its symbol index (symbol_index.json).
//
// This is the face other modules use, with graph.h (the graph model and its
// one writer); the pieces behind it live in walk.h, symbols.h, relations.h,
// keywords.h and scan.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/lexscan/graph.h"

namespace kestrune::lexscan {

// A scan root that does not exist or is not a directory. Scanning one would
// give an empty graph, which would then replace a real one; so every scan
// refuses it. err is ENOTDIR; what() is "project root is not a directory: <root>".
struct NotAProjectRoot : fs::OsError {
  explicit NotAProjectRoot(const std::string& root);
};
// Throws NotAProjectRoot unless `root` is a directory (links followed).
void require_project_root(const std::string& root);

// The scan of `root` as the typed graph (graph.h), which write_graph() stores.
// `root` is passed unchanged to walk/rel and becomes the graph's root.
// existing_nodes: file id -> earlier serialised file node (may be null): an
// unchanged file keeps its keywords, summary and content. threads: 0 = all
// cores; the graph is the same for any number. Render::ForWriting has the
// threads render the file's text as they go (the fastest way to a graph
// file, but the graph then has no record). Files that cannot be read are
// skipped; a root that is not a directory throws NotAProjectRoot, and
// anything else that fails throws.
Graph scan_graph(const std::string& root, const json::Object* existing_nodes = nullptr, unsigned threads = 0,
                 Render render = Render::No);
// The graph record of that scan: scan_graph(...).to_json().
json::Value scan(const std::string& root, const json::Object* existing_nodes = nullptr, unsigned threads = 0);
std::vector<std::string> walk_files(const std::string& root);
std::vector<json::Value> extract_symbols_ts(std::string_view content, std::string_view file_path);
std::vector<json::Value> extract_symbols_py(std::string_view content, std::string_view file_path);

}  // namespace kestrune::lexscan
