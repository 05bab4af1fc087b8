// brc: the road the audit's own texts point at ("Run `brc .` first to build
// the graph", "Run  brc audit /path --fix"): build a project's graph, audit
// it, and hand its fix roadmap to an interactive claude session.
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "kestrune/audit/command.h"
#include "kestrune/base/command.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/brc_claude/brc_claude.h"
#include "kestrune/lexscan/lexscan.h"

namespace kestrune::brc_claude {
namespace {

constexpr std::string_view kUsage =
    "usage: brc <project-root>\n"
    "       brc audit <project-root> [--fix] [--json] [--no-color]\n";

void say(const std::string& line) { command::err("[brc] " + line + "\n"); }

[[noreturn]] void usage_error(const std::string& message) {
  throw ParseExit{2, std::string(kUsage) + "brc: error: " + message + "\n", message};
}

// A word as a POSIX shell reads it back (shlex.quote), for a command to type.
std::string shell_quote(const std::string& s) {
  constexpr std::string_view safe =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@%+=:,./_-";
  if (!s.empty() && s.find_first_not_of(safe) == std::string::npos) return s;
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
  return out + "'";
}

struct Scanned {
  size_t files, symbols, edges;
};

Scanned regex_scan(const std::string& root, const std::string& out) {
  const lexscan::Graph g = lexscan::scan_graph(root, nullptr, 0, lexscan::Render::ForWriting);
  const Scanned s{g.nodes.size() - g.symbol_count(), g.symbol_count(), g.edges.size()};
  lexscan::write_graph_files(g, out);
  return s;
}

struct Scanner {
  std::string_view name;
  Scanned (*scan)(const std::string& root, const std::string& out);
};
// The one place brc chooses how a project's graph is built. The syntax-tree
// scanner, once it is part of the build, takes over here (keeping this one
// for when its grammars do not load).
constexpr Scanner kScanner{"regex scanner", &regex_scan};

std::string resolved_root(const std::string& arg) {
  const std::string root = fs::resolve(fs::expanduser(arg));
  if (!fs::is_dir(root)) throw lexscan::NotAProjectRoot(root);
  return root;
}

// brc <project-root>
int project(const std::string& root) {
  const bool built = ensure_project_graph(root);
  if (fs::exists(fs::join(root, AUDIT_CONTEXT))) return hand_over_audit(root);
  if (!built) say("Graph already built: " + fs::join(root, PROJECT_GRAPH));
  say("Next: brc audit " + shell_quote(root) +
      " --fix   (audits the project, then starts claude on its fix roadmap)");
  return 0;
}

// brc audit <project-root> [--fix] [--json] [--no-color]: the audit command itself.
int audit_project(const BrcArgs& a) {
  ensure_project_graph(a.root);
  std::vector<std::string> words = {"audit", "--root=" + a.root};
  if (a.fix) words.push_back("--fix");
  if (a.json) words.push_back("--json");
  if (a.no_color) words.push_back("--no-color");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  // --fix then starts bin/brc beside this program, as it does from `audit`.
  return audit::command_main(static_cast<int>(words.size()), argv.data(),
                             {fs::parent(fs::self_exe_dir()), ::isatty(STDOUT_FILENO) == 1});
}

}  // namespace

const std::string& brc_help_text() {
  static const std::string help =
      std::string(kUsage) +
      "\n"
      "Build a project's graph, audit it, and work through the audit's fix roadmap\n"
      "with claude.\n"
      "\n"
      "forms:\n"
      "  brc <project-root>    build <project-root>/.braid/info_graph.json when it is\n"
      "                        missing; then, when the audit has written\n"
      "                        .braid/AUDIT_CONTEXT.md, start claude in the project on\n"
      "                        its fix roadmap\n"
      "  brc audit <project-root>\n"
      "                        build the graph when it is missing, then audit the\n"
      "                        project as `audit --root <project-root>` does\n"
      "\n"
      "options:\n"
      "  -h, --help            show this help message and exit\n"
      "  --fix                 (audit) after the report, start claude on the fix roadmap\n"
      "  --json                (audit) print the JSON report instead of the terminal report\n"
      "  --no-color            (audit) no ANSI colours\n";
  return help;
}

BrcArgs parse_brc_args(const std::vector<std::string>& argv) {
  BrcArgs a;
  std::vector<std::string> extra;  // in command-line order, as argparse lists them
  bool options = true, have_root = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& w = argv[i];
    // Asking for help (or the version) wins over everything else on the line.
    if (options && (w == "-h" || w == "--help")) throw ParseExit{0, brc_help_text(), ""};
    if (options && w == "--") {
      options = false;
    } else if (i == 0 && w == "audit") {
      a.audit = true;
    } else if (options && a.audit && (w == "--fix" || w == "--json" || w == "--no-color")) {
      (w == "--fix" ? a.fix : w == "--json" ? a.json : a.no_color) = true;
    } else if ((options && w.size() > 1 && w[0] == '-') || have_root) {
      extra.push_back(w);
    } else {
      a.root = w;
      have_root = true;
    }
  }
  if (!have_root) usage_error("the following arguments are required: project-root");
  if (!extra.empty()) usage_error("unrecognized arguments: " + text::join(extra, " "));
  return a;
}

bool ensure_project_graph(const std::string& root) {
  const std::string out = fs::join(root, PROJECT_GRAPH);
  if (fs::exists(out)) return false;
  lexscan::require_project_root(root);
  say("No graph found — scanning " + root + " ...");
  const auto t0 = std::chrono::steady_clock::now();
  fs::makedirs(fs::parent(out));
  const Scanned s = kScanner.scan(root, out);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  say("Graph built in " + text::format_fixed(seconds, 1) + "s with the " + std::string(kScanner.name) + ": " +
      std::to_string(s.files) + " files, " + std::to_string(s.symbols) + " symbols, " + std::to_string(s.edges) +
      " edges");
  say("Wrote: " + out);
  return true;
}

int brc_command_main(int argc, char** argv) {
  return command::run("[brc] Error: ", [&] {
    const BrcArgs a = parse_brc_args({argv + 1, argv + argc});
    const std::string root = resolved_root(a.root);
    return a.audit ? audit_project(BrcArgs{a.audit, root, a.fix, a.json, a.no_color}) : project(root);
  });
}

}  // namespace kestrune::brc_claude
