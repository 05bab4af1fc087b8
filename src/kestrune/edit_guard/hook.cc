#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "kestrune/base/command.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/edit_guard/edit_guard.h"

namespace kestrune::edit_guard {

namespace {

constexpr std::string_view USAGE =
    "usage: edit_guard [--decision-json]\n"
    "\n"
    "PreToolUse hook: reads the hook call as JSON on standard input and warns before\n"
    "edits of files the assistant has recently worked on heavily (exit 1), or blocks\n"
    "destructive shell commands on them (exit 2). Set BR_EDIT_GUARD=0 to switch it off.\n"
    "\n"
    "  --decision-json  answer in the hook JSON decision form on standard output\n"
    "                   (\"ask\" or \"deny\") and exit 0\n";

}  // namespace

Host system_host() {
  Host h;
  h.getenv = [](std::string_view name) -> std::optional<std::string> {
    const char* v = std::getenv(std::string(name).c_str());
    if (v == nullptr) return std::nullopt;
    return std::string(v);
  };
  h.now = [] {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
  };
  try {
    h.cwd = fs::cwd();
  } catch (const std::exception&) {
  }
  h.read_file = [](const std::string& path) -> std::optional<std::string> {
    try {
      return fs::read_bytes(path);
    } catch (const std::exception&) {
      return std::nullopt;
    }
  };
  return h;
}

std::string decision_json(const Decision& d) {
  if (d.verdict == Verdict::Allow) return {};
  json::Object inner;
  inner.append("hookEventName", "PreToolUse");
  inner.append("permissionDecision", d.verdict == Verdict::Block ? "deny" : "ask");
  inner.append("permissionDecisionReason", d.message);
  json::Object outer;
  outer.append("hookSpecificOutput", std::move(inner));
  return json::dumps(outer);
}

int command_main(int argc, char** argv) {
  // Writes never fail the hook: its exit status is its answer, whoever reads the text.
  auto say = [](int fd, std::string_view s) { command::write_all(fd, s); };
  return command::run("edit_guard: error: ", [&] {
    bool as_json = false;
    for (int i = 1; i < argc; ++i) {
      std::string_view arg = argv[i];
      if (arg == "--decision-json") {
        as_json = true;
      } else if (arg == "-h" || arg == "--help") {
        say(STDOUT_FILENO, USAGE);
        return 0;
      } else {
        // Exit 1, not the usual 2: to the assistant 2 would mean "block this
        // call", and a mistyped hook command must not stop every tool call.
        say(STDERR_FILENO, "edit_guard: error: unrecognized argument: " + std::string(arg) + "\n");
        return 1;
      }
    }

    // Switched off, the guard does not even read its input.
    const char* guard = std::getenv("BR_EDIT_GUARD");
    if (guard != nullptr && std::string_view(guard) == "0") return 0;
    Decision d = decide(command::read_all(STDIN_FILENO), system_host());
    if (d.verdict == Verdict::Allow) return 0;
    if (as_json) {
      say(STDOUT_FILENO, decision_json(d) + "\n");
      return 0;
    }
    // The assistant reads only standard error from a hook that exits 1 or 2;
    // standard output keeps the message for whatever else reads it.
    const std::string text = d.message + "\n";
    say(STDOUT_FILENO, text);
    say(STDERR_FILENO, text);
    return d.status();
  });
}

}  // namespace kestrune::edit_guard
