// The lexscan command.
#include <string>

#include "kestrune/base/args.h"
#include "kestrune/base/command.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/scan.h"

namespace kestrune::lexscan {

namespace {

args::Parser parser() {
  args::Parser p("lexscan", "Scan project and build information graph JSON.");
  p.text({"--root"}, ".", "Project root to scan.");
  p.text({"--out"}, "braid-dashboard/data/info_graph.json", "Output JSON path.");
  return p;
}

int run(const std::string& root_arg, const std::string& out) {
  const std::string root = fs::resolve(root_arg);
  require_project_root(root);  // before anything is written
  fs::makedirs(fs::parent(out));
  Graph graph;
  {
    json::Object reuse = load_reuse_map(out);
    graph = scan_graph(root, &reuse, 0, Render::ForWriting);
  }
  std::string report = "Scanned: " + std::to_string(graph.nodes.size() - graph.symbol_count()) + " files, " +
                       std::to_string(graph.symbol_count()) + " symbols, " + std::to_string(graph.edges.size()) +
                       " edges\n";
  const size_t indexed = write_graph_files(graph, out);

  report += "Wrote: " + fs::pure(out) + "\n";
  report += "Symbol index: " + symbol_index_path(out) + " (" + std::to_string(indexed) +
            " symbols)\n";
  command::out(report);
  return 0;
}

}  // namespace

int command_main(int argc, char** argv) {
  return command::run("lexscan: error: ", [&] {
    const args::Result o = parser().parse({argv + 1, argv + argc});
    return run(o.text("root"), o.text("out"));
  });
}

}  // namespace kestrune::lexscan
