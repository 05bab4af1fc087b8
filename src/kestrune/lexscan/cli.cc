// The lexscan command: flags parsed and reported the way argparse does.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/base/fs.h"
#include "kestrune/base/regex.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/scan.h"

namespace kestrune::lexscan {

namespace {

constexpr const char* kUsage = "usage: lexscan [-h] [--root ROOT] [--out OUT]\n";
constexpr const char* kHelp =
    "\n"
    "Scan project and build information graph JSON.\n"
    "\n"
    "options:\n"
    "  -h, --help   show this help message and exit\n"
    "  --root ROOT  Project root to scan.\n"
    "  --out OUT    Output JSON path.\n";

struct UsageError {
  std::string message;
};

struct Options {
  std::string root = ".";
  std::string out = "braid-dashboard/data/info_graph.json";
  bool help = false;
};

// The long option `name` abbreviates, or "" when none.
std::string long_option(std::string_view name) {
  if (name.size() <= 2 || !name.starts_with("--")) return "";
  for (const char* opt : {"--help", "--root", "--out"})
    if (std::string_view(opt).starts_with(name)) return opt;
  return "";
}

// Whether argparse would take `arg` for an option rather than a value.
bool looks_like_option(const std::string& arg) {
  static const re::Regex kNegativeNumber(R"(^-\d+$|^-\d*\.\d+$)");
  if (arg.size() < 2 || arg[0] != '-') return false;
  if (arg.starts_with("-h") || !long_option(arg.substr(0, arg.find('='))).empty()) return true;
  if (kNegativeNumber.search(arg)) return false;
  return arg.find(' ') == std::string::npos;
}

Options parse(int argc, char** argv) {
  Options o;
  std::vector<std::string> extras;
  bool positional_only = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (positional_only || !looks_like_option(arg)) {
      extras.push_back(arg);
      continue;
    }
    if (arg == "--") {  // what follows is positional; argparse still reports the "--"
      extras.push_back(arg);
      positional_only = true;
      continue;
    }
    std::string opt;
    std::optional<std::string> explicit_value;
    if (arg.starts_with("--")) {
      size_t eq = arg.find('=');
      opt = long_option(std::string_view(arg).substr(0, eq));
      if (eq != std::string::npos) explicit_value = arg.substr(eq + 1);
    } else if (arg.starts_with("-h")) {
      opt = "--help";
      if (arg.size() > 2) explicit_value = arg.substr(2);
    }
    if (opt.empty()) {
      extras.push_back(arg);
    } else if (opt == "--help") {
      if (explicit_value) throw UsageError{"argument -h/--help: ignored explicit argument '" + *explicit_value + "'"};
      o.help = true;
      return o;
    } else {
      std::string value;
      if (explicit_value) {
        value = *explicit_value;
      } else if (i + 1 < argc && !looks_like_option(argv[i + 1])) {
        value = argv[++i];
      } else {
        throw UsageError{"argument " + opt + ": expected one argument"};
      }
      (opt == "--root" ? o.root : o.out) = value;
    }
  }
  if (!extras.empty()) {
    std::string msg = "unrecognized arguments:";
    for (const auto& e : extras) msg += " " + e;
    throw UsageError{msg};
  }
  return o;
}

int run(const Options& o) {
  const std::string root = fs::resolve(o.root);
  fs::makedirs(fs::parent(o.out));
  Graph graph;
  {
    json::Object reuse = load_reuse_map(o.out);
    graph = scan_graph(root, &reuse);
  }
  json::Value index = graph.symbol_index();
  const size_t symbols = static_cast<size_t>(
      std::count_if(graph.nodes.begin(), graph.nodes.end(), [](const Node& n) { return n.kind == "symbol"; }));
  std::string report = "Scanned: " + std::to_string(graph.nodes.size() - symbols) + " files, " +
                       std::to_string(symbols) + " symbols, " + std::to_string(graph.edges.size()) + " edges\n";
  // The graph file first: a failure there leaves the earlier index alone.
  std::move(graph).write(o.out);
  fs::write_atomic(symbol_index_path(o.out), json::dumps(index));

  report += "Wrote: " + fs::pure(o.out) + "\n";
  report += "Symbol index: " + symbol_index_path(o.out) + " (" + std::to_string(index.as_object().size()) +
            " symbols)\n";
  // A reader that went away (lexscan | head) is no failure of the scan.
  std::fwrite(report.data(), 1, report.size(), stdout);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int command_main(int argc, char** argv) {
  Options o;
  try {
    o = parse(argc, argv);
  } catch (const UsageError& e) {
    std::fputs(kUsage, stderr);
    std::fprintf(stderr, "lexscan: error: %s\n", e.message.c_str());
    return 2;
  }
  if (o.help) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    std::fflush(stdout);
    return 0;
  }
  try {
    return run(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lexscan: error: %s\n", e.what());
    return 1;
  }
}

}  // namespace kestrune::lexscan
