// The treescan command.
#include <string>

#include "kestrune/base/args.h"
#include "kestrune/base/command.h"
#include "kestrune/base/fs.h"
#include "kestrune/lexscan/graph.h"
#include "kestrune/lexscan/lexscan.h"
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

int run(const std::string& root_arg, const std::string& out, bool compare_mode) {
  const std::string root = fs::resolve(root_arg);
  lexscan::require_project_root(root);  // before anything is written
  fs::makedirs(fs::parent(out));
  const Grammars& g = grammars();
  if (compare_mode) {
    compare(root, out, fs::join(fs::parent(out), "info_graph_regex.json"), command::out, g);
    return 0;
  }
  const lexscan::RescanResult r = rescan(root, out, g);
  std::string report = std::string(g.ast_available ? "[AST] " : "[regex-fallback] ") +
                       std::to_string(r.nodes - r.symbols) + " files, " + std::to_string(r.symbols) + " symbols, " +
                       std::to_string(r.edges) + " edges\n";
  report += "Wrote: " + fs::pure(out) + "\n";
  report += "Symbol index: " + lexscan::symbol_index_path(out) + " (" + std::to_string(r.indexed) + " symbols)\n";
  command::out(report);
  return 0;
}

int run_command(int argc, char** argv, bool say_warning) {
  return command::run("treescan: error: ", [&] {
    // Loading the grammars is the module's start: a missing one is said
    // first, as importing the module says it.
    if (say_warning)
      if (const std::string warning = grammars().warning(); !warning.empty()) command::out(warning + "\n");
    const args::Result o = parser().parse({argv + 1, argv + argc});
    return run(o.text("root"), o.text("out"), o.flag("compare"));
  });
}

}  // namespace

int command_main(int argc, char** argv) { return run_command(argc, argv, false); }

int native_main(int argc, char** argv) { return run_command(argc, argv, true); }

}  // namespace kestrune::treescan
