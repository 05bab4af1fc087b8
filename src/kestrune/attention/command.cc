#include "kestrune/base/command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "kestrune/attention/attention.h"
#include "kestrune/base/args.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"

namespace kestrune::attention {

namespace {

std::string getenv_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

int64_t now_seconds() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

// The hook: whatever happens, the assistant goes on (exit 0); a failure is
// one line on standard error.
int cmd_record() {
  try {
    HookEnv env;
    env.claude_project_dir = getenv_or_empty("CLAUDE_PROJECT_DIR");
    env.br_data_dir = getenv_or_empty("BR_DATA_DIR");
    try {
      env.cwd = fs::cwd();
    } catch (const std::exception&) {
      // Gone: only absolute paths can be recorded.
    }
    std::optional<HookCall> call = hook_call(command::read_all(STDIN_FILENO), env);
    if (!call) return 0;
    Recorded r = record(call->place.file, {&call->action, 1}, now_seconds());
    if (!r.moved_aside.empty())
      command::err("attention: " + call->place.file + " was not an attention record; moved it to " + r.moved_aside +
                   " and started a new one\n");
  } catch (const std::exception& e) {
    std::string line = "attention: error: ";
    for (const char* p = e.what(); *p; ++p) line += *p == '\n' ? ' ' : *p;
    command::err(line + "\n");
  } catch (...) {
    command::err("attention: error: unexpected failure\n");
  }
  return 0;
}

std::string pad_left(std::string s, size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

int cmd_show(const std::optional<std::string>& root_arg) {
  Place place;
  if (root_arg) {
    place = place_for(fs::abspath(*root_arg));
  } else {
    const std::string project = getenv_or_empty("CLAUDE_PROJECT_DIR");
    place = place_for(fs::abspath(project.empty() ? fs::cwd() : project), getenv_or_empty("BR_DATA_DIR"));
  }
  const int64_t now = now_seconds();
  if (!fs::exists(place.file)) {
    command::out("No attention recorded yet: " + place.file + " does not exist.\n");
    return 0;
  }
  const std::vector<Record> records = load_records(place.file, now);
  const std::vector<Record> risky = at_risk(records);
  std::string out = place.file + ": " + std::to_string(risky.size()) + " of " + std::to_string(records.size()) +
                    (records.size() == 1 ? " file" : " files") + " at or above the edit guard's threshold (" +
                    text::format_fixed(THRESHOLD, 1) + ")\n";
  if (!risky.empty()) {
    out += "\n score  reads  edits  last touched  file\n";
    for (const Record& r : risky) {
      const std::string age = r.last_ts == 0
                                  ? "?"
                                  : std::to_string(text::round_half_even(
                                        static_cast<double>(static_cast<__int128>(now) - r.last_ts) / 60.0)) +
                                        " min ago";
      out += pad_left(text::format_fixed(r.score, 1), 6) + pad_left(std::to_string(r.reads), 7) +
             pad_left(std::to_string(r.edits), 7) + pad_left(age, 14) + "  " + r.file + "\n";
    }
  }
  command::out(out);
  return 0;
}

args::Parser build_parser() {
  args::Parser p("attention", "The assistant's attention record: which files it has read and edited lately.");
  p.command("cmd", "record", "Record one PostToolUse hook call, read as JSON from standard input");
  p.command("cmd", "show", "List the files at or above the edit guard's threshold, highest first")
      .text({"--root"}, std::nullopt,
            "Project root (default: $CLAUDE_PROJECT_DIR, else the working directory; "
            "without it BR_DATA_DIR is honoured)");
  return p;
}

}  // namespace

int command_main(int argc, char** argv) {
  return command::run("attention: error: ", [&] {
    const args::Result a = build_parser().parse({argv + (argc > 0 ? 1 : 0), argv + argc});
    if (a.text("cmd") == "record") return cmd_record();
    return cmd_show(a.optional_text("root"));
  });
}

}  // namespace kestrune::attention
