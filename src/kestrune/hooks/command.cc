#include "kestrune/base/command.h"

#include <unistd.h>

#include "kestrune/base/args.h"
#include "kestrune/base/fs.h"
#include "kestrune/hooks/hooks.h"

namespace kestrune::hooks {

namespace {

std::string& bin_dir_override() {
  static std::string dir;
  return dir;
}

std::string bin_dir() { return bin_dir_override().empty() ? fs::self_exe_dir() : bin_dir_override(); }

args::Parser build_parser() {
  args::Parser p("kestrune", "Kestrune: a graph-backed picture of a project for the claude assistant.");
  args::Parser& hooks = p.command("cmd", "hooks", "Wire Kestrune into the assistant's settings");
  auto where = [](args::Parser& sub) -> args::Parser& {
    return sub
        .text({"--project"}, std::nullopt,
              "Project directory: DIR/.claude/settings.json (default: the working directory)")
        .flag({"--user"}, "The user's settings for every project: ~/.claude/settings.json")
        .flag({"--local"}, "DIR/.claude/settings.local.json, kept out of version control");
  };
  where(hooks.command("action", "install", "Add the guard, the attention recorder and the context block"))
      .flag({"--dry-run"}, "Print the resulting settings file instead of writing it");
  where(hooks.command("action", "uninstall", "Take them out again, and nothing else"))
      .flag({"--dry-run"}, "Print the resulting settings file instead of writing it");
  where(hooks.command("action", "status", "Say, per hook, whether it is installed and its program is there"));
  return p;
}

struct Target {
  std::string settings;
  Install install;
};

Target target(const args::Result& a) {
  const std::optional<std::string> project = a.optional_text("project");
  if (a.flag("user") && project) throw command::UsageError("argument --user: not allowed with argument --project");
  if (a.flag("user") && a.flag("local"))
    throw command::UsageError("argument --local: not allowed with argument --user");
  Target t;
  t.install.bin_dir = bin_dir();
  if (!a.flag("user")) t.install.project = fs::abspath(project.value_or("."));
  t.settings = settings_path(t.install.project, a.flag("local"));
  return t;
}

std::vector<Entry> entries(const Install& install) {
  std::vector<Entry> out;
  for (const Hook& h : our_hooks()) out.push_back(entry(h, install));
  return out;
}

SettingsFile read(const std::string& path) {
  try {
    return read_settings(path);
  } catch (const MalformedSettings& e) {
    throw std::runtime_error(path + ": " + e.what() + "; left untouched");
  }
}

int change(const args::Result& a, bool install) {
  const Target t = target(a);
  const SettingsFile file = read(t.settings);
  json::Value doc = file.doc;
  bool changed;
  try {
    changed = install ? merge_entries(doc, entries(t.install)) : remove_entries(doc, entries(t.install));
  } catch (const MalformedSettings& e) {
    throw std::runtime_error(t.settings + ": " + e.what() + "; left untouched");
  }
  if (a.flag("dry_run")) {
    command::out(render_settings(doc));
    return 0;
  }
  if (!changed) {
    command::out(install ? "The Kestrune hooks are already installed in " + t.settings + "; nothing changed.\n"
                         : "No Kestrune hooks in " + t.settings + "; nothing changed.\n");
    return 0;
  }
  write_settings(file, doc);
  std::string line = (install ? "Installed the Kestrune hooks in " : "Removed the Kestrune hooks from ") + t.settings;
  if (file.bytes) line += " (the previous file is " + t.settings + ".bak)";
  command::out(line + ".\n");
  return 0;
}

int status(const args::Result& a) {
  const Target t = target(a);
  const SettingsFile file = read(t.settings);
  std::string out = t.settings + (file.bytes ? "" : " (no such file)") + "\n";
  for (const Hook& h : our_hooks()) {
    std::string state = "not installed";
    for (const json::Value* group : find_ours(file.doc, entry(h, t.install))) {
      for (const json::Value& handler : group->find("hooks")->as_array()) {
        const json::Value* cmd = handler.find("command");
        std::optional<std::string> program = cmd && cmd->is_string() ? runs(h, cmd->as_string()) : std::nullopt;
        if (!program) continue;
        const bool there = ::access(program->c_str(), X_OK) == 0 && fs::is_file(*program);
        state = "installed, runs " + *program + (there ? "" : " (missing)");
        break;
      }
    }
    std::string name(h.event);
    name.resize(18, ' ');
    out += "  " + name + state + "\n";
  }
  command::out(out);
  return 0;
}

}  // namespace

void set_bin_dir(const std::string& dir) { bin_dir_override() = dir; }

int command_main(int argc, char** argv) {
  return command::run("kestrune: error: ", [&] {
    const args::Result a = build_parser().parse({argv + (argc > 0 ? 1 : 0), argv + argc});
    const std::string& action = a.text("action");
    if (action == "status") return status(a);
    return change(a, action == "install");
  });
}

}  // namespace kestrune::hooks
