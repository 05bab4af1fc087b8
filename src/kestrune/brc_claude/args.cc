// The launcher's command line.
#include <string>
#include <vector>

#include "kestrune/base/args.h"
#include "kestrune/brc_claude/brc_claude.h"

namespace kestrune::brc_claude {
namespace {

args::Parser parser() {
  const Args defaults;
  args::Parser p("brc-claude", "Pre-injection wrapper: graph retrieval → packed context → claude -p");
  p.words("query", "The user's question (all positional args joined with spaces)");
  p.text({"--project-root", "-r"}, defaults.project_root, "Project root directory (default: current dir)");
  p.integer({"--budget", "-b"}, defaults.budget, "Token budget for the context pack (default: 5000)");
  p.integer({"--max-files"}, defaults.max_files, "Max files included in context (default: 8)");
  p.text({"--model", "-m"}, defaults.model, "Claude model to use (default: claude-sonnet-4-6)");
  p.flag({"--json"}, "Add --output-format json (for benchmarks)");
  p.flag({"--dry-run"}, "Print the packed context and exit (don't launch Claude)");
  p.flag({"--no-permissions"}, "Add --dangerously-skip-permissions (for benchmarks)");
  p.flag({"--no-session"}, "Add --no-session-persistence (for benchmarks)");
  p.flag({"--verbose", "-v"}, "Print pack timing and token estimate to stderr");
  p.text({"--ranker"}, std::nullopt,
         "How files are chosen: heuristic or relevance (default: $KESTRUNE_RANKER, else heuristic)");
  return p;
}

}  // namespace

const std::string& help_text() {
  static const std::string help = parser().help();
  return help;
}

Args parse_args(const std::vector<std::string>& argv) {
  const args::Result r = parser().parse(argv);
  Args a;
  a.query = r.words("query");
  a.project_root = r.text("project_root");
  a.budget = r.integer("budget");
  a.max_files = r.integer("max_files");
  a.model = r.text("model");
  a.json = r.flag("json");
  a.dry_run = r.flag("dry_run");
  a.no_permissions = r.flag("no_permissions");
  a.no_session = r.flag("no_session");
  a.verbose = r.flag("verbose");
  a.ranker = r.optional_text("ranker").value_or("");
  if (!a.ranker.empty() && a.ranker != "heuristic" && a.ranker != "relevance") {
    const std::string message = "argument --ranker: invalid choice: '" + a.ranker +
                                "' (choose from 'heuristic', 'relevance')";
    throw ParseExit{2, parser().usage() + "brc-claude: error: " + message + "\n", message};
  }
  return a;
}

}  // namespace kestrune::brc_claude
