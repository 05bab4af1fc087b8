// The tree scan: per-file extraction (syntax trees where a grammar covers the
// file, regular expressions otherwise), structural peers, the graph record.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/json.h"
#include "kestrune/lexscan/graph.h"
#include "kestrune/lexscan/scan_driver.h"
#include "kestrune/treescan/extract.h"

namespace kestrune::treescan {

// Symbols of one file: from its syntax tree when a grammar covers it, else
// from the regex scanner's TypeScript or Python extractor, else none.
std::vector<Symbol> extract_symbols(std::string_view content, std::string_view file_id, std::string_view ext,
                                    const Grammars& g = grammars());
// Import edges of one file: from its syntax tree when a grammar covers it,
// else from parse_relations_regex.
std::vector<Edge> extract_imports(std::string_view content, std::string_view file_id, std::string_view ext,
                                  const Grammars& g = grammars());
// Go-style, ES and Python imports and require calls found by patterns, whatever the file type.
std::vector<Edge> parse_relations_regex(const std::string& file_id, std::string_view text);

// A scan of `root` (passed unchanged to the walk; its text is the graph's
// root), with `ast_mode` set: what write_graph_files() stores. existing_nodes:
// file id -> earlier serialised file node (may be null). threads: 0 = all
// cores; the result is the same for any number. A root that is not a
// directory throws lexscan::NotAProjectRoot. Render::ForWriting has the
// threads render the graph file's text as they go (the graph then has no
// record), as lexscan's scan_graph does.
lexscan::Graph scan_graph(const std::string& root, const json::Object* existing_nodes = nullptr,
                          unsigned threads = 0, const Grammars& g = grammars(),
                          lexscan::Render render = lexscan::Render::No);
// Scans `root` into the graph file `out` through the scan cache beside it, as
// lexscan::rescan does for the regex scanner; the cache of one set of grammars
// is not used with another.
lexscan::RescanResult rescan(const std::string& root, const std::string& out, const Grammars& g = grammars());
// Its graph record: the regex scanner's layout, then "ast_mode".
json::Value scan(const std::string& root, const json::Object* existing_nodes = nullptr, unsigned threads = 0,
                 const Grammars& g = grammars());

}  // namespace kestrune::treescan
