#include <gtest/gtest.h>

#include <filesystem>

#include "common/testkit.h"
#include "kestrune/base/json.h"
#include "kestrune/base/version.h"
#include "kestrune/hooks/hooks.h"

namespace kestrune::hooks {
namespace {

const Install kInstall{"/opt/k/bin", "/work/my proj"};

std::vector<Entry> all(const Install& install = kInstall) {
  std::vector<Entry> out;
  for (const Hook& h : our_hooks()) out.push_back(entry(h, install));
  return out;
}

std::string pretty(const json::Value& v) { return json::dumps(v, {.indent = 2}); }

TEST(Settings, CommandsAreQuotedAndRecognised) {
  const std::vector<Hook>& h = our_hooks();
  EXPECT_EQ(command_line(h[0], kInstall), "/opt/k/bin/edit_guard --decision-json");
  EXPECT_EQ(command_line(h[1], {"/it's here", ""}), "'/it'\"'\"'s here/attention' record");
  EXPECT_EQ(command_line(h[2], kInstall),
            "KESTRUNE_DATA_DIR='/work/my proj/.braid' BRAID_PROJECT_ROOT='/work/my proj' /opt/k/bin/br prime --hook --refresh");
  EXPECT_EQ(
      command_line(h[2], {"/b", ""}),
      "KESTRUNE_DATA_DIR=\"$CLAUDE_PROJECT_DIR\"/.braid BRAID_PROJECT_ROOT=\"$CLAUDE_PROJECT_DIR\" /b/br prime --hook --refresh");
  EXPECT_EQ(shell_quote(""), "''");
  EXPECT_EQ(shell_quote("a-b_c@%+=:,./9"), "a-b_c@%+=:,./9");

  struct Case {
    size_t hook;
    std::string command;
    std::optional<std::string> program;
  } cases[] = {
      {0, command_line(h[0], {"/it's here", ""}), "/it's here/edit_guard"},
      {0, "/usr/local/bin/edit_guard --decision-json", "/usr/local/bin/edit_guard"},
      {0, "edit_guard", "edit_guard"},
      {0, "/x/edit_guard_old", std::nullopt},
      {1, "\"/a b/attention\" record", "/a b/attention"},
      {1, "/a/attention show", std::nullopt},
      {2, command_line(h[2], kInstall), "/opt/k/bin/br"},
      {2, "X=1 br prime --hook", "br"},  // installed before --refresh: still ours, replaced
      {2, "br prime --query x", std::nullopt},
      {2, "echo br prime --hook", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(runs(h[c.hook], c.command), c.program) << c.command;
}

// The user's own settings: keys, other events, a group of their own beside
// an older guard of ours (another path), and a group we share with them.
constexpr std::string_view kForeign = R"json({
  "model": "opus",
  "hooks": {
    "PreToolUse": [
      {"matcher": "Bash", "hooks": [{"type": "command", "command": "audit-log"}]},
      {"matcher": "Write|Edit|NotebookEdit|Bash", "hooks": [{"type": "command", "command": "/old/edit_guard --decision-json"}]}
    ],
    "PostToolUse": [
      {"matcher": "Read", "hooks": [{"type": "command", "command": "notify"}, {"type": "command", "command": "/old/attention record"}]}
    ],
    "Stop": [{"hooks": [{"type": "command", "command": "say done"}]}]
  },
  "permissions": {"allow": ["Bash(ls:*)"]}
})json";

TEST(Settings, MergeKeepsEverythingElse) {
  json::Value doc = json::parse(kForeign);
  EXPECT_TRUE(merge_entries(doc, all()));
  EXPECT_EQ(pretty(doc), pretty(json::parse(R"json({
  "model": "opus",
  "hooks": {
    "PreToolUse": [
      {"matcher": "Bash", "hooks": [{"type": "command", "command": "audit-log"}]},
      {"matcher": "Write|Edit|NotebookEdit|Bash", "hooks": [{"type": "command", "command": "/opt/k/bin/edit_guard --decision-json"}]}
    ],
    "PostToolUse": [
      {"matcher": "Read", "hooks": [{"type": "command", "command": "notify"}]},
      {"matcher": "Read|Write|Edit|MultiEdit|NotebookEdit", "hooks": [{"type": "command", "command": "/opt/k/bin/attention record"}]}
    ],
    "Stop": [{"hooks": [{"type": "command", "command": "say done"}]}],
    "UserPromptSubmit": [{"hooks": [{"type": "command", "command": "KESTRUNE_DATA_DIR='/work/my proj/.braid' BRAID_PROJECT_ROOT='/work/my proj' /opt/k/bin/br prime --hook --refresh"}]}]
  },
  "permissions": {"allow": ["Bash(ls:*)"]}
})json")));

  // Idempotent; and uninstalling takes out ours only, and what only held ours.
  const std::string installed = pretty(doc);
  EXPECT_FALSE(merge_entries(doc, all()));
  EXPECT_EQ(pretty(doc), installed);
  EXPECT_TRUE(remove_entries(doc, all()));
  json::Value expected = json::parse(kForeign);
  expected.as_object().find("hooks")->as_object().find("PreToolUse")->as_array().pop_back();
  expected.as_object()
      .find("hooks")
      ->as_object()
      .find("PostToolUse")
      ->as_array()[0]
      .as_object()
      .set("hooks", json::parse(R"([{"type": "command", "command": "notify"}])"));
  EXPECT_EQ(pretty(doc), pretty(expected));
  EXPECT_FALSE(remove_entries(doc, all()));

  // Into nothing and out again: nothing left behind.
  json::Value empty = json::Object{};
  merge_entries(empty, all());
  remove_entries(empty, all());
  EXPECT_EQ(json::dumps(empty), "{}");

  // A container of another type is not ours to fix.
  for (std::string_view bad : {R"({"hooks": []})", R"({"hooks": {"PreToolUse": {}}})"}) {
    json::Value d = json::parse(bad);
    EXPECT_THROW(merge_entries(d, all()), MalformedSettings) << bad;
    EXPECT_THROW(remove_entries(d, all()), MalformedSettings) << bad;
  }
}

// The command over real files: writes, backups, idempotence, bad files untouched.
TEST(Settings, CommandInstallsAndUninstalls) {
  testkit::TempDir t;
  const std::string settings = t / "p/.claude/settings.json";
  t.write("p/.claude/settings.json", std::string(kForeign));
  auto kestrune = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "hooks");
    return testkit::run_command("kestrune", args, t / "p");
  };

  const std::string mcp = t / "p/.mcp.json";
  testkit::Output dry = kestrune({"install", "--dry-run"});
  EXPECT_EQ(dry.status, 0);
  EXPECT_NE(dry.out.find("/attention record\""), std::string::npos);
  EXPECT_EQ(t.read("p/.claude/settings.json"), kForeign);
  EXPECT_FALSE(std::filesystem::exists(mcp));

  testkit::Output first = kestrune({"install"});
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out, "Installed the Kestrune hooks in " + settings + " (the previous file is " + settings +
                           ".bak).\nAdded the Kestrune MCP server to " + mcp + ".\n");
  EXPECT_EQ(t.read("p/.claude/settings.json.bak"), kForeign);
  const std::string installed = t.read("p/.claude/settings.json");
  EXPECT_EQ("==> " + settings + " <==\n" + installed + "\n==> " + mcp + " <==\n" + t.read("p/.mcp.json"), dry.out);

  EXPECT_EQ(kestrune({"install"}).out, "The Kestrune hooks are already installed in " + settings +
                                           "; nothing changed.\nThe Kestrune MCP server is already in " + mcp +
                                           "; nothing changed.\n");
  EXPECT_EQ(t.read("p/.claude/settings.json"), installed);
  EXPECT_EQ(t.read("p/.claude/settings.json.bak"), kForeign);

  const std::string bin = testkit::bin_dir();
  EXPECT_EQ(kestrune({"status"}).out, settings + "\n  PreToolUse        installed, runs " + bin +
                                          "/edit_guard\n  PostToolUse       installed, runs " + bin +
                                          "/attention\n  UserPromptSubmit  installed, runs " + bin + "/br\n" + mcp +
                                          "\n  MCP server        installed, runs " + bin + "/kestrune-mcp\n");
  EXPECT_EQ(kestrune({"uninstall"}).status, 0);
  EXPECT_EQ(kestrune({"status"}).out.find("not installed"), settings.size() + 21);

  // A file we cannot read as settings is left as it is: one line, status 1.
  for (std::string_view bad : {"{\"hooks\": ", "[1]", "{\"hooks\": {\"PreToolUse\": 7}}", "\xff"}) {
    t.write("p/.claude/settings.local.json", bad);
    testkit::Output o = kestrune({"install", "--local"});
    EXPECT_EQ(o.status, 1) << bad;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_NE(o.err.find("left untouched"), std::string::npos) << o.err;
    EXPECT_EQ(t.read("p/.claude/settings.local.json"), bad);
  }
  EXPECT_EQ(kestrune({"install", "--user", "--project", "x"}).status, 2);
}

// The project's .mcp.json: our server merged in beside the user's, and out again.
TEST(Settings, McpServerInTheProjectsConfig) {
  testkit::TempDir t;
  const std::string project = t.mkdir("p"), mcp = t / "p/.mcp.json";
  constexpr std::string_view kTheirs = R"({"mcpServers": {"db": {"command": "pg-mcp"}}, "x": 1})";
  t.write("p/.mcp.json", kTheirs);
  auto kestrune = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "hooks");
    return testkit::run_command("kestrune", args, t.path());
  };

  EXPECT_EQ(kestrune({"install", "--project", project}).status, 0);
  const std::string bin = testkit::bin_dir();
  EXPECT_EQ(t.read("p/.mcp.json"), render_settings(json::parse(
                                       R"({"mcpServers": {"db": {"command": "pg-mcp"}, "kestrune": {"command": ")" +
                                       bin + R"(/kestrune-mcp", "args": ["--root", ")" + project + R"("]}}, "x": 1})")));
  EXPECT_EQ(t.read("p/.mcp.json.bak"), kTheirs);
  const std::string installed = t.read("p/.mcp.json");
  EXPECT_EQ(kestrune({"install", "--project", project}).status, 0);
  EXPECT_EQ(t.read("p/.mcp.json"), installed);
  EXPECT_EQ(kestrune({"uninstall", "--project", project}).status, 0);
  EXPECT_EQ(json::parse(t.read("p/.mcp.json")), json::parse(kTheirs));

  // --local and --user leave it alone, and say how to add the server otherwise.
  const testkit::Output local = kestrune({"install", "--project", project, "--local"});
  EXPECT_NE(local.out.find("Left " + mcp + " alone (--local); "), std::string::npos) << local.out;
  EXPECT_EQ(json::parse(t.read("p/.mcp.json")), json::parse(kTheirs));
  testkit::ScopedEnv home("HOME", t.mkdir("home").c_str());
  const testkit::Output user = kestrune({"install", "--user"});
  EXPECT_NE(user.out.find("No project with --user, so no .mcp.json; "), std::string::npos) << user.out;
  EXPECT_EQ(kestrune({"status", "--user"}).out.find("MCP server"), std::string::npos);

  // A config we cannot read leaves both files as they are.
  t.write("p/.mcp.json", "{\"mcpServers\": []}");
  const std::string settings = t.read("p/.claude/settings.json");
  const testkit::Output bad = kestrune({"install", "--project", project});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find(mcp + ": "), std::string::npos) << bad.err;
  EXPECT_EQ(t.read("p/.mcp.json"), "{\"mcpServers\": []}");
  EXPECT_EQ(t.read("p/.claude/settings.json"), settings);
}

TEST(Settings, EveryCommandAnswersWithTheProjectVersion) {
  for (std::string name :
       {"lexscan", "br", "brc-claude", "brc", "audit", "edit_guard", "attention", "kestrune", "kestrune-mcp"}) {
    testkit::Output o = testkit::run_command(name, {"--version"});
    EXPECT_EQ(o.status, 0) << name;
    EXPECT_EQ(o.out, name + (name == "kestrune" ? " " : " (kestrune) ") + std::string(VERSION) + "\n");
  }
}

}  // namespace
}  // namespace kestrune::hooks
