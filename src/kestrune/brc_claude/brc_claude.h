// The pre-injection launcher: makes sure a graph exists, retrieves and packs
// the context for a question, and replaces itself with `claude -p` holding
// that context; and `brc`, which builds a project's graph, audits it and
// opens an interactive `claude` session on the audit's fix roadmap.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/args.h"
#include "kestrune/base/json.h"

namespace kestrune::brc_claude {

struct Args {
  std::vector<std::string> query;
  std::string project_root = ".";
  long long budget = 5000;
  long long max_files = 8;
  std::string model = "claude-sonnet-4-6";
  bool json = false;
  bool dry_run = false;
  bool no_permissions = false;
  bool no_session = false;
  bool verbose = false;
  std::string ranker;  // "heuristic" or "relevance"; "" for the default (KESTRUNE_RANKER)
};

// How parsing ended without arguments to run with: --help (status 0, `text`
// for standard output) or a usage error (status 2, `text` for standard error).
using ParseExit = args::Exit;

// The command line without the program name, read the way the standard
// argument parser reads it (abbreviated long options, "-b5", "--budget=5",
// "--", question words taken in one run). Throws ParseExit.
Args parse_args(const std::vector<std::string>& argv);
const std::string& help_text();

inline constexpr int EDGE_LIMIT = 40;
inline constexpr std::string_view QUESTION_SEPARATOR = "\n\n---\n\nUser question: ";
inline constexpr std::string_view INSTRUCTIONS =
    "\n\nInstructions: Answer thoroughly using the pre-loaded context above. Include relevant code "
    "snippets in your response when they help explain the answer. Reference specific file paths "
    "and line numbers. Do not edit any files.";
// Variables that would make claude believe it runs inside another claude session.
inline constexpr std::string_view REMOVED_VARIABLES[] = {"CLAUDECODE", "CLAUDE_CODE_SESSION"};

// br's graph when its file exists (whatever project it was built for);
// otherwise a scan of `project_root`, written to that file, with two progress
// lines on standard error. Throws whatever reading or scanning throws.
json::Value ensure_graph(const std::string& project_root);

std::string build_prompt(std::string_view context, std::string_view query);
std::vector<std::string> claude_argv(const Args& args, const std::string& prompt);

// ---- process hand-over ----------------------------------------------------

// The first executable regular file `name` in the directories of PATH (the
// system default path when PATH is unset), as shutil.which finds it.
std::optional<std::string> which(std::string_view name);
// The current environment ("NAME=value", in order) minus REMOVED_VARIABLES.
std::vector<std::string> child_environment();
// Replaces the process with `program` searched on PATH; returns only by
// throwing fs::OsError. Standard streams are flushed first.
[[noreturn]] void exec_program(const std::string& program, const std::vector<std::string>& argv,
                               const std::vector<std::string>& env);
// The two-line message for a missing `claude`.
void print_claude_missing();

// ---- commands ---------------------------------------------------------------

// brc-claude: returns the exit status, or does not return once claude runs.
int command_main(int argc, char** argv);

// ---- brc: from a project to a fixing session --------------------------------
//
//   brc <project-root>
//     builds <root>/.braid/info_graph.json when it is missing; then, when the
//     audit has left .braid/AUDIT_CONTEXT.md, hands over to an interactive
//     claude session on its fix roadmap, else says what comes next.
//   brc audit <project-root> [--fix] [--json] [--no-color]
//     builds the graph when it is missing and runs the audit on the root, as
//     `audit --root` does (and with --fix, hands over as it does).

inline constexpr std::string_view AUDIT_CONTEXT = ".braid/AUDIT_CONTEXT.md";
inline constexpr std::string_view PROJECT_GRAPH = ".braid/info_graph.json";

struct BrcArgs {
  bool audit = false;  // the audit form
  std::string root;
  bool fix = false, json = false, no_color = false;
};
// The words after the program name. Throws ParseExit: help (status 0) or a
// usage error (status 2).
BrcArgs parse_brc_args(const std::vector<std::string>& argv);
const std::string& brc_help_text();

std::string audit_prompt(std::string_view audit_context_text);
// Builds root/PROJECT_GRAPH and its symbol index when the graph is missing,
// saying so on standard error; false when there was one. `root` is resolved.
bool ensure_project_graph(const std::string& root);
// Starts claude in `root` on its audit context; returns a status only when
// that cannot be done.
int hand_over_audit(const std::string& root);
int brc_command_main(int argc, char** argv);

}  // namespace kestrune::brc_claude
