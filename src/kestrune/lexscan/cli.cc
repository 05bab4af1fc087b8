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
  const RescanResult r = rescan(regex_scanner(), root, out);
  command::out("Scanned: " + std::to_string(r.nodes - r.symbols) + " files, " + std::to_string(r.symbols) +
               " symbols, " + std::to_string(r.edges) + " edges\nWrote: " + fs::pure(out) + "\nSymbol index: " +
               symbol_index_path(out) + " (" + std::to_string(r.indexed) + " symbols)\n");
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
