// `kestrune`: the top-level command, and `kestrune hooks install | uninstall |
// status`, which wires the guard, the attention recorder and br's context
// block into the assistant's settings.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/hooks/settings.h"

namespace kestrune::hooks {

// One hook of ours: the assistant's event, the tools it fires for, and the
// command it runs (a program beside `kestrune`, with its arguments). A
// command that runs the program with the first `telling` arguments is ours,
// whatever else it passes.
struct Hook {
  std::string_view event;
  std::string_view matcher;  // empty: the event has no matcher
  std::string_view program;
  std::vector<std::string_view> args;
  size_t telling = 0;
};

// The words after `br` in the UserPromptSubmit hook: the place to add an
// option of `br prime` to every installed hook.
// --refresh keeps the graph current: each prompt rescans what changed first.
inline const std::vector<std::string_view> PRIME_HOOK_ARGS = {"prime", "--hook", "--refresh"};

// PreToolUse → edit_guard, PostToolUse → attention record, UserPromptSubmit → br prime.
const std::vector<Hook>& our_hooks();

// Where the hooks go and what they run.
struct Install {
  std::string bin_dir;  // where edit_guard, attention and br are (absolute)
  // The project whose .braid holds br's data; empty for the user's settings,
  // where the hook takes the project the assistant runs in ($CLAUDE_PROJECT_DIR).
  std::string project;
};

// `s` quoted for a POSIX shell as Python's shlex.quote() does.
std::string shell_quote(std::string_view s);
// The words of a shell command line (quotes and backslashes undone; no
// expansion): enough to recognise our own commands.
std::vector<std::string> shell_words(std::string_view command);

// The command line of `hook` for `install`.
std::string command_line(const Hook& hook, const Install& install);

// Whether `command` runs `hook`'s program with its telling arguments
// (whatever path it is found at, with any variables set before it, the first
// argument first, the others anywhere after it); then that program's path.
std::optional<std::string> runs(const Hook& hook, std::string_view command);

// The settings entry of `hook`: its matcher group, recognising any group or
// command of ours already there.
Entry entry(const Hook& hook, const Install& install);

// The project's MCP server, which gives the assistant the graph's tools:
// "mcpServers" → "kestrune" in the project's .mcp.json, running
// `kestrune-mcp --root <project>` (a program beside `kestrune`).
inline constexpr std::string_view MCP_PROGRAM = "kestrune-mcp";
inline constexpr std::string_view MCP_SERVER = "kestrune";
inline constexpr std::string_view MCP_CONFIG = ".mcp.json";
// For an install with a project.
Entry mcp_entry(const Install& install);

// The settings file: `project`/.claude/settings.json (settings.local.json
// when `local`), or the user's ~/.claude/settings.json when `project` is empty.
std::string settings_path(const std::string& project, bool local);

// The command: `kestrune hooks ...`. The programs it installs are those beside
// it, or in `dir` once set (the Python module sets its package's bin/).
int command_main(int argc, char** argv);
void set_bin_dir(const std::string& dir);

}  // namespace kestrune::hooks
