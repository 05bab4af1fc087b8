#include <gtest/gtest.h>
#include <unistd.h>

#include "guard_fixture.h"
#include "kestrune/edit_guard/edit_guard.h"

namespace kestrune::edit_guard::testing {
namespace {

using V = Verdict;

TEST_F(GuardTest, DecayDecidesWhetherAnEditIsAtRisk) {
  attention({{"register_edit", "src/app.py", 0}});
  EXPECT_EQ(decide(edit(dir + "/src/app.py")).verdict, V::Warn);  // 8.0
  attention({{"register_edit", "src/app.py", 7200}});
  EXPECT_EQ(decide(edit(dir + "/src/app.py")).verdict, V::Allow);  // 2.0
  attention({{"register_edit", "src/app.py", 3600}});
  EXPECT_EQ(decide(edit(dir + "/src/app.py")).verdict, V::Warn);  // exactly 4.0
}

TEST_F(GuardTest, ReadsCountByKind) {
  attention({{"read", "src/app.py", 0}, {"read", "src/app.py", 0}});
  Decision d = decide(edit(dir + "/src/app.py"));
  EXPECT_EQ(d.verdict, V::Warn);
  EXPECT_NE(d.message.find("  src/app.py  [read 2\u00d7, last touched 0 min ago]\n"), std::string::npos);

  attention({{"read", "src/app.py", 0}, {"read_cache_hit", "src/app.py", 0}});  // 3.0
  EXPECT_EQ(decide(edit(dir + "/src/app.py")).verdict, V::Allow);
  attention({{"search", "src/app.py", 0}, {"search", "src/app.py", 0}, {"read", "src/app.py", 0}});
  EXPECT_EQ(decide(edit(dir + "/src/app.py")).verdict, V::Allow);
}

TEST_F(GuardTest, EditWarnsHoweverManyEdits) {
  attention({{"register_edit", "src/app.py", 0},
             {"edit_observation", "src/app.py", 30},
             {"register_edit", "src/app.py", 90}});
  Decision d = decide(edit("src/app.py"));  // relative to the working directory
  EXPECT_EQ(d.status(), 1);
  EXPECT_EQ(d.message,
            "Kestrune Edit Guard [WARNING]\n"
            "Operation: Edit\n"
            "\n"
            "The following high-attention files will be affected:\n"
            "\n"
            "  src/app.py  [edited 3\u00d7, last touched 0 min ago]\n"
            "\n"
            "This operation cannot be undone.\n"
            "Please confirm with the user before proceeding.\n"
            "\n"
            "  (To bypass: set BR_EDIT_GUARD=0 in your environment)");
}

TEST_F(GuardTest, DestructiveCommandBlocksOnlyAfterTwoEdits) {
  attention({{"register_edit", "src/app.py", 0}, {"read", "src/app.py", 0}, {"register_edit", "src/app.py", 60}});
  Decision d = decide(bash("rm -f src/app.py"));
  EXPECT_EQ(d.status(), 2);
  EXPECT_EQ(d.message,
            "Kestrune Edit Guard [HARD BLOCK]\n"
            "Operation: bash: rm -f src/app.py\n"
            "\n"
            "The following high-attention files will be affected:\n"
            "\n"
            "  src/app.py  [read 1\u00d7, edited 2\u00d7, last touched 0 min ago]\n"
            "\n"
            "This operation cannot be undone.\n"
            "Please type 'yes, proceed' to confirm, or rephrase your request.\n"
            "\n"
            "  (To bypass: set BR_EDIT_GUARD=0 in your environment)");

  attention({{"register_edit", "src/app.py", 0}});
  EXPECT_EQ(decide(bash("rm -f src/app.py")).status(), 1);
  // No slash, no target.
  attention({{"register_edit", "core", 0}, {"register_edit", "core", 0}});
  EXPECT_EQ(decide(bash("rm -rf core")).status(), 0);
}

TEST_F(GuardTest, ShellCommandClassification) {
  attention({{"register_edit", "src/app.py", 0}, {"register_edit", "src/app.py", 0},
             {"register_edit", "notes/plan.md", 0}, {"register_edit", "src", 0},
             {"register_edit", "src", 0}});
  // Hard, but the target pattern finds no argument.
  EXPECT_EQ(decide(bash("truncate -s 0 src/app.py")).status(), 0);
  // A single ">" overwrites: soft, so a warning whatever the edit count.
  EXPECT_EQ(decide(bash("echo hi > notes/plan.md")).status(), 1);
  EXPECT_EQ(decide(bash("echo hi >> notes/plan.md")).status(), 0);
  // Neither pattern: the path fields do not matter.
  json::Object in;
  in.append("command", "ls -la");
  in.append("file_path", dir + "/src/app.py");
  EXPECT_EQ(decide(call("Bash", in)).status(), 0);
  // A directory is compared as itself only.
  EXPECT_EQ(decide(bash("rm -rf src/")).status(), 2);
  attention({{"register_edit", "src/app.py", 0}, {"register_edit", "src/app.py", 0}});
  EXPECT_EQ(decide(bash("rm -rf src/")).status(), 0);
  // After a separator, in any case, on a later line.
  EXPECT_EQ(decide(bash("cd x\nRM -Rf src/app.py")).status(), 0);  // the target pattern is case-sensitive
  EXPECT_EQ(decide(bash("cd /tmp && rm -rf " + dir + "/src/app.py")).status(), 2);
  EXPECT_EQ(decide(bash("ls; find . -name '*.pyc' -delete; rm -r ./src/app.py")).status(), 2);
  EXPECT_EQ(decide(bash("cat src/app.py | grep x")).status(), 0);
  // Unguarded tools never look further.
  EXPECT_EQ(decide(call("Read", [&] { json::Object o; o.append("file_path", "src/app.py"); return o; }())).status(), 0);
}

TEST_F(GuardTest, OperationLabelIsCutBeforeTrimming) {
  attention({{"register_edit", "src/app.py", 0}});
  Decision d = decide(bash("rm src/app.py" + std::string(110, ' ') + "x y"));
  EXPECT_EQ(d.status(), 1);
  EXPECT_NE(d.message.find("\nOperation: bash: rm src/app.py\n"), std::string::npos) << d.message;
  std::string long_cmd = "rm src/app.py; echo " + std::string(200, 'z');
  d = decide(bash(long_cmd));
  EXPECT_NE(d.message.find("\nOperation: bash: " + long_cmd.substr(0, 120) + "\n"), std::string::npos);
}

TEST_F(GuardTest, OnlyTheFourHighestScoresAreListed) {
  std::vector<Act> acts;
  const char* files[] = {"src/a.py", "src/b.py", "src/c.py", "src/d.py", "src/e.py"};
  int64_t ages[] = {3000, 0, 1800, 600, 0};
  for (int i = 0; i < 5; ++i) acts.push_back({"register_edit", files[i], ages[i]});
  acts.push_back({"read", "src/e.py", 120});
  attention(acts);
  std::string cmd = "rm src/a.py; rm src/b.py; rm src/c.py; rm src/d.py; rm src/e.py";
  Decision d = decide(bash(cmd));
  EXPECT_EQ(d.status(), 1);
  std::string listed = d.message.substr(d.message.find("affected:\n\n") + 11);
  listed = listed.substr(0, listed.find("\n\n"));
  EXPECT_EQ(listed,
            "  src/e.py  [read 1\u00d7, edited 1\u00d7, last touched 0 min ago]\n"
            "  src/b.py  [edited 1\u00d7, last touched 0 min ago]\n"
            "  src/d.py  [edited 1\u00d7, last touched 10 min ago]\n"
            "  src/c.py  [edited 1\u00d7, last touched 30 min ago]");
}

TEST_F(GuardTest, MinutesRoundHalfToEvenOrAreUnknown) {
  attention({{"register_edit", "src/a.py", 90}, {"register_edit", "src/b.py", 150},
             {"register_edit", "src/c.py", -30}, {"register_edit", "src/d.py", NOW}});
  json::Object in;
  in.append("command", "rm src/a.py; rm src/b.py; rm src/c.py; rm src/d.py");
  Decision d = decide(call("Bash", in));
  EXPECT_NE(d.message.find("src/a.py  [edited 1\u00d7, last touched 2 min ago]"), std::string::npos);
  EXPECT_NE(d.message.find("src/b.py  [edited 1\u00d7, last touched 2 min ago]"), std::string::npos);
  EXPECT_NE(d.message.find("src/c.py  [edited 1\u00d7, last touched 0 min ago]"), std::string::npos);
  // Stamped at the epoch: no weight left, so not listed at all.
  EXPECT_EQ(d.message.find("  src/d.py  ["), std::string::npos);

  raw_attention(R"({"actions": [{"kind": "register_edit", "payload": {"file": "src/a.py"}},
                                {"kind": "register_edit", "payload": {"file": "src/a.py"}, "ts": null},
                                {"kind": "register_edit", "payload": {"file": "src/a.py"}, "ts": 0}]})");
  EXPECT_EQ(decide(edit("src/a.py")).verdict, V::Allow);
  // Early in the epoch such actions do count, and their time is unknown.
  host.now = [] { return int64_t{60}; };
  d = decide(edit("src/a.py"));
  EXPECT_NE(d.message.find("  src/a.py  [edited 3\u00d7, last touched ? min ago]\n"), std::string::npos) << d.message;
}

TEST_F(GuardTest, SwitchAndDataDirectory) {
  attention({{"register_edit", "src/app.py", 0}});
  env["BR_EDIT_GUARD"] = "0";
  EXPECT_EQ(decide(edit("src/app.py")).verdict, V::Allow);
  for (const char* on : {"1", "", "false", "00"}) {
    env["BR_EDIT_GUARD"] = on;
    EXPECT_EQ(decide(edit("src/app.py")).verdict, V::Warn) << on;
  }

  // BR_DATA_DIR is taken as given; its parent is the project root.
  std::string other = dir + "/elsewhere/data";
  attention({{"register_edit", "app.py", 0}}, other);
  env["BR_DATA_DIR"] = other + "/";
  EXPECT_EQ(decide(edit(dir + "/elsewhere/app.py")).verdict, V::Warn);
  EXPECT_EQ(decide(edit(dir + "/src/app.py")).verdict, V::Allow);
  env["BR_DATA_DIR"] = dir + "/missing";
  EXPECT_EQ(decide(edit(dir + "/src/app.py")).verdict, V::Allow);
  env["BR_DATA_DIR"] = "";  // empty means unset
  EXPECT_EQ(decide(edit(dir + "/src/app.py")).verdict, V::Warn);
}

TEST_F(GuardTest, DataDirectoryIsFoundAboveTheTargetOrTheWorkingDirectory) {
  // A project nested in another: the target's nearest ".braid" wins over the working directory's.
  attention({{"register_edit", "src/app.py", 0}});
  attention({{"register_edit", "lib/deep/x.py", 0}}, dir + "/inner/.braid");
  fs::makedirs(dir + "/inner/lib/deep");
  EXPECT_EQ(decide(edit(dir + "/inner/lib/deep/x.py")).verdict, V::Warn);
  EXPECT_EQ(decide(edit(dir + "/inner/src/app.py")).verdict, V::Allow);
  // Not a file: a directory of that name does not count.
  fs::makedirs(dir + "/inner/lib/.braid/chat_action_graph.json");
  EXPECT_EQ(decide(edit(dir + "/inner/lib/deep/x.py")).verdict, V::Warn);

  // Nothing above the target: the working directory's ancestors are searched.
  host.cwd = dir + "/src";
  EXPECT_EQ(decide(edit("/nonexistent/elsewhere/app.py")).verdict, V::Allow);
  attention({{"register_edit", "/nonexistent/elsewhere/app.py", 0}});
  EXPECT_EQ(decide(edit("/nonexistent/elsewhere/app.py")).verdict, V::Warn);
  host.cwd = "/";
  EXPECT_EQ(decide(edit("/nonexistent/elsewhere/app.py")).verdict, V::Allow);
}

TEST_F(GuardTest, PathsAreComparedResolved) {
  attention({{"register_edit", "src/app.py", 0}});
  ASSERT_EQ(::symlink((dir + "/src").c_str(), (dir + "/alias").c_str()), 0);
  EXPECT_EQ(decide(edit(dir + "/alias/app.py")).verdict, V::Warn);
  EXPECT_EQ(decide(edit(dir + "/src/../src/./app.py")).verdict, V::Warn);
  EXPECT_EQ(decide(edit("  " + dir + "//src/app.py\n")).verdict, V::Warn);
  // A link loop cannot be resolved: compared as written, so no match.
  ASSERT_EQ(::symlink((dir + "/loop").c_str(), (dir + "/loop").c_str()), 0);
  attention({{"register_edit", "loop/app.py", 0}});
  EXPECT_EQ(decide(edit(dir + "/loop/app.py")).verdict, V::Allow);
  attention({{"register_edit", dir + "/loop/app.py", 0}});
  EXPECT_EQ(decide(edit(dir + "/loop/app.py")).verdict, V::Warn);
}

TEST_F(GuardTest, EveryTargetFieldCountsAndDuplicatesAreKept) {
  attention({{"register_edit", "src/app.py", 0}, {"register_edit", "src/nb.ipynb", 60}});
  json::Object in;
  in.append("file_path", "   ");
  in.append("path", "src/app.py");
  in.append("notebook_path", "src/app.py");
  Decision d = decide(call("NotebookEdit", in));
  EXPECT_EQ(d.status(), 1);
  EXPECT_NE(d.message.find("Operation: NotebookEdit\n"), std::string::npos);
  size_t first = d.message.find("  src/app.py  [edited 1\u00d7");
  EXPECT_NE(first, std::string::npos);
  EXPECT_NE(d.message.find("  src/app.py  [edited 1\u00d7", first + 1), std::string::npos);
  EXPECT_EQ(d.message.find("nb.ipynb"), std::string::npos);
}

TEST_F(GuardTest, MalformedAttentionCountsAsAbsent) {
  const char* bad[] = {
      "[]",
      R"({"actions": {}})",
      R"({"actions": null})",
      R"({"actions": [1]})",
      R"({"actions": [{"kind": "register_edit", "payload": [], "ts": 1}]})",
      R"({"actions": [{"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": "1700000000"}]})",
      R"({"actions": [{"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": true}]})",
      R"({"actions": [{"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": NaN}]})",
      R"({"actions": [{"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": 1e300}]})",
      R"({"actions": [{"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": 99999999999999999999}]})",
      R"({"actions": [{"kind": "x", "ts": "later"}, {"kind": "register_edit", "payload": {"file": "src/app.py"}}]})",
      "\xEF\xBB\xBF{\"actions\": []}",
      "{\"actions\": [{\"kind\": \"register_edit\", \"payload\": {\"file\": \"src/\xFF.py\"}}]}",
      "{\"actions\": [",
  };
  for (const char* text : bad) {
    raw_attention(text);
    EXPECT_EQ(decide(edit("src/app.py")).verdict, V::Allow) << text;
  }
  // Floats are truncated; odd kinds, files and payloads are skipped, not fatal.
  raw_attention(R"({"actions": [
      {"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": 1699996400.9},
      {"kind": 7, "payload": {"file": "src/app.py"}, "ts": 1700000000},
      {"kind": "read", "payload": {"file": 3}, "ts": 1700000000},
      {"kind": "read", "payload": null, "ts": 1700000000},
      {"kind": "read"}], "other": 1})");
  EXPECT_EQ(decide(edit("src/app.py")).verdict, V::Warn);  // exactly one hour: 4.0
  raw_attention(R"({"actions": [{"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": 1699996399.9}]})");
  EXPECT_EQ(decide(edit("src/app.py")).verdict, V::Allow);
  raw_attention(R"({"other": 1})");
  EXPECT_EQ(decide(edit("src/app.py")).verdict, V::Allow);
}

TEST_F(GuardTest, AnyHookInputIsSafe) {
  attention({{"register_edit", "src/app.py", 0}, {"register_edit", "src/app.py", 0}});
  const std::string inputs[] = {
      "",
      "not json",
      "[\"Edit\"]",
      "null",
      "\xEF\xBB\xBF" + edit("src/app.py"),
      "{\"tool_name\": \"Edit\", \"tool_input\": {\"file_path\": \"src/\xC3\"}}",
      R"({"tool_name": ["Edit"], "tool_input": {"file_path": "src/app.py"}})",
      R"({"tool_name": "Edit", "tool_input": "src/app.py"})",
      R"({"tool_name": "Edit", "tool_input": {"file_path": 1}})",
      R"({"tool_name": "Bash", "tool_input": {"command": ["rm", "-rf", "src/app.py"]}})",
      R"({"tool_name": "Edit", "tool_input": {"file_path": "src/app.py\u0000"}})",
      R"({"tool_name": "Bash", "tool_input": {"command": "rm -rf \ud800/x"}})",
      std::string(100000, '['),
  };
  for (const std::string& in : inputs) EXPECT_EQ(decide(in).verdict, V::Allow) << in.substr(0, 80);
  // Only a "0" switch stops the guard before the input is read.
  EXPECT_EQ(decide(R"({"tool_name": "Edit", "tool_input": {"file_path": "src/app.py"}, "x": NaN})").verdict,
            V::Warn);
}

TEST(DecisionJson, AsksOrDenies) {
  EXPECT_EQ(decision_json(Decision{}), "");
  EXPECT_EQ(decision_json(Decision{Verdict::Warn, "W \u00d7\nx"}),
            R"({"hookSpecificOutput": {"hookEventName": "PreToolUse", "permissionDecision": "ask", )"
            R"("permissionDecisionReason": "W \u00d7\nx"}})");
  EXPECT_EQ(decision_json(Decision{Verdict::Block, "B"}),
            R"({"hookSpecificOutput": {"hookEventName": "PreToolUse", "permissionDecision": "deny", )"
            R"("permissionDecisionReason": "B"}})");
}

}  // namespace
}  // namespace kestrune::edit_guard::testing
