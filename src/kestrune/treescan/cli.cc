// The treescan command.
#include <cstdio>
#include <exception>
#include <string>

#include "kestrune/base/args.h"
#include "kestrune/base/fs.h"
#include "kestrune/lexscan/graph.h"
#include "kestrune/lexscan/scan.h"
#include "kestrune/treescan/treescan.h"

namespace kestrune::treescan {

namespace {

args::Parser parser() {
  args::Parser p("treescan", "Kestrune Pro AST graph builder");
  p.text({"--root"}, ".", "Project root to scan");
  p.text({"--out"}, ".braid/info_graph.json", "Output JSON path");
  p.flag({"--compare"}, "Compare AST vs regex side-by-side");
  return p;
}

// Writes to standard output; a reader that went away (treescan | head) is no failure.
void print(std::string_view s) {
  std::fwrite(s.data(), 1, s.size(), stdout);
  std::fflush(stdout);
}

int run(const std::string& root_arg, const std::string& out, bool compare_mode) {
  const std::string root = fs::resolve(root_arg);
  fs::makedirs(fs::parent(out));
  const Grammars& g = grammars();
  if (compare_mode) {
    compare(root, out, fs::join(fs::parent(out), "info_graph_regex.json"), print, g);
    return 0;
  }
  lexscan::Graph graph;
  {
    json::Object reuse = lexscan::load_reuse_map(out);
    graph = scan_graph(root, &reuse, 0, g);
  }
  const json::Value index = graph.symbol_index();
  size_t symbols = 0;
  for (const auto& n : graph.nodes) symbols += n.kind == "symbol";
  std::string report = std::string(g.ast_available ? "[AST] " : "[regex-fallback] ") +
                       std::to_string(graph.nodes.size() - symbols) + " files, " + std::to_string(symbols) +
                       " symbols, " + std::to_string(graph.edges.size()) + " edges\n";
  // The graph file first: a failure there leaves the earlier index alone.
  fs::write_atomic(out, graph_text(std::move(graph), g.ast_available));
  fs::write_atomic(lexscan::symbol_index_path(out), json::dumps(index));
  report += "Wrote: " + fs::pure(out) + "\n";
  report += "Symbol index: " + lexscan::symbol_index_path(out) + " (" + std::to_string(index.as_object().size()) +
            " symbols)\n";
  print(report);
  return 0;
}

}  // namespace

int command_main(int argc, char** argv) {
  args::Result o;
  try {
    o = parser().parse({argv + 1, argv + argc});
  } catch (const args::Exit& e) {
    std::fputs(e.text.c_str(), e.status == 0 ? stdout : stderr);
    std::fflush(stdout);
    return e.status;
  }
  try {
    return run(o.text("root"), o.text("out"), o.flag("compare"));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "treescan: error: %s\n", e.what());
    return 1;
  }
}

}  // namespace kestrune::treescan
