// The lexscan command.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "kestrune/base/args.h"
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
  fs::makedirs(fs::parent(out));
  RenderedGraph graph;
  {
    json::Object reuse = load_reuse_map(out);
    graph = scan_rendered(root, &reuse);
  }
  json::Value index = graph.symbol_index();
  std::string report = "Scanned: " + std::to_string(graph.node_count - graph.symbol_count) + " files, " +
                       std::to_string(graph.symbol_count) + " symbols, " + std::to_string(graph.edges.size()) +
                       " edges\n";
  // The graph file first: a failure there leaves the earlier index alone.
  std::move(graph).write(out);
  fs::write_atomic(symbol_index_path(out), json::dumps(index));

  report += "Wrote: " + fs::pure(out) + "\n";
  report += "Symbol index: " + symbol_index_path(out) + " (" + std::to_string(index.as_object().size()) +
            " symbols)\n";
  // A reader that went away (lexscan | head) is no failure of the scan.
  std::fwrite(report.data(), 1, report.size(), stdout);
  std::fflush(stdout);
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
    return run(o.text("root"), o.text("out"));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lexscan: error: %s\n", text::backslashreplace(e.what()).c_str());
    return 1;
  }
}

}  // namespace kestrune::lexscan
