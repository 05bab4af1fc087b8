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
  where(hooks.command("action", "install", "Add the guard, the attention recorder, the context block and the project's MCP server"))
      .flag({"--dry-run"}, "Print the resulting settings file instead of writing it");
  where(hooks.command("action", "uninstall", "Take them out again, and nothing else"))
      .flag({"--dry-run"}, "Print the resulting settings file instead of writing it");
  where(hooks.command("action", "status", "Say, per hook, whether it is installed and its program is there"));
  return p;
}

struct Target {
  std::string settings;
  std::string mcp_config;  // the project's .mcp.json; empty for --user
  bool local = false;
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
  if (!t.install.project.empty()) t.mcp_config = fs::join(t.install.project, MCP_CONFIG);
  t.local = a.flag("local");
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

// One file's change, worked out before anything is written.
struct Change {
  SettingsFile file;
  json::Value doc;
  bool changed = false;
};

Change prepare(const std::string& path, const std::vector<Entry>& ours, bool install) {
  Change c{read(path), {}, false};
  c.doc = c.file.doc;
  try {
    c.changed = install ? merge_entries(c.doc, ours) : remove_entries(c.doc, ours);
  } catch (const MalformedSettings& e) {
    throw std::runtime_error(path + ": " + e.what() + "; left untouched");
  }
  return c;
}

int change(const args::Result& a, bool install) {
  const Target t = target(a);
  const Change settings = prepare(t.settings, entries(t.install), install);
  // .mcp.json is the project's, shared through version control: --local
  // leaves it alone, and --user has no project to serve.
  std::optional<Change> mcp;
  if (!t.mcp_config.empty() && !t.local) mcp = prepare(t.mcp_config, {mcp_entry(t.install)}, install);
  if (a.flag("dry_run")) {
    if (!mcp) {
      command::out(render_settings(settings.doc));
    } else {
      command::out("==> " + t.settings + " <==\n" + render_settings(settings.doc) + "\n==> " + t.mcp_config +
                   " <==\n" + render_settings(mcp->doc));
    }
    return 0;
  }
  std::string out;
  if (!settings.changed) {
    out = install ? "The Kestrune hooks are already installed in " + t.settings + "; nothing changed.\n"
                  : "No Kestrune hooks in " + t.settings + "; nothing changed.\n";
  } else {
    write_settings(settings.file, settings.doc);
    out = (install ? "Installed the Kestrune hooks in " : "Removed the Kestrune hooks from ") + t.settings;
    if (settings.file.bytes) out += " (the previous file is " + t.settings + ".bak)";
    out += ".\n";
  }
  const std::string server = fs::join(t.install.bin_dir, MCP_PROGRAM);
  if (mcp) {
    const std::string& path = t.mcp_config;
    if (!mcp->changed) {
      out += install ? "The Kestrune MCP server is already in " + path + "; nothing changed.\n"
                     : "No Kestrune MCP server in " + path + "; nothing changed.\n";
    } else {
      write_settings(mcp->file, mcp->doc);
      out += (install ? "Added the Kestrune MCP server to " : "Removed the Kestrune MCP server from ") + path;
      if (mcp->file.bytes) out += " (the previous file is " + path + ".bak)";
      out += ".\n";
    }
  } else if (install && t.local) {
    out += "Left " + t.mcp_config + " alone (--local); for the MCP server in your own setup only: claude mcp add " +
           std::string(MCP_SERVER) + " -- " + shell_quote(server) + " --root " + shell_quote(t.install.project) +
           "\n";
  } else if (install) {
    out += "No project with --user, so no .mcp.json; for the MCP server in every project: claude mcp add --scope "
           "user " + std::string(MCP_SERVER) + " -- " + shell_quote(server) + "\n";
  }
  command::out(out);
  return 0;
}

std::string state_of(const std::string& program) {
  const bool there = ::access(program.c_str(), X_OK) == 0 && fs::is_file(program);
  return "installed, runs " + program + (there ? "" : " (missing)");
}

std::string status_line(std::string name, const std::string& state) {
  name.resize(18, ' ');
  return "  " + name + state + "\n";
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
        state = state_of(*program);
        break;
      }
    }
    out += status_line(std::string(h.event), state);
  }
  if (!t.mcp_config.empty()) {
    const SettingsFile mcp = read(t.mcp_config);
    out += t.mcp_config + (mcp.bytes ? "" : " (no such file)") + "\n";
    std::string state = "not installed";
    for (const json::Value* server : find_ours(mcp.doc, mcp_entry(t.install))) {
      const json::Value* cmd = server->find("command");
      state = cmd && cmd->is_string() ? state_of(cmd->as_string()) : "installed, runs nothing (no \"command\")";
    }
    out += status_line("MCP server", state);
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
