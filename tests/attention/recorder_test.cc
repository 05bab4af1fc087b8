#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "common/testkit.h"
#include "kestrune/attention/attention.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/edit_guard/edit_guard.h"

namespace kestrune::attention {
namespace {

constexpr int64_t NOW = 1700000000;

// Sets (or, with nullptr, unsets) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string hook(std::string_view tool, std::string_view input, std::string_view extra = "") {
  return "{\"session_id\": \"s1\", \"hook_event_name\": \"PostToolUse\", \"tool_name\": \"" + std::string(tool) +
         "\", \"tool_input\": " + std::string(input) + ", \"tool_response\": {}" + std::string(extra) + "}";
}

json::Array actions_of(const std::string& text) { return json::parse(text)["actions"].as_array(); }

TEST(Recorder, HookCallsRecordWhatTheToolDid) {
  testkit::TempDir t;
  const std::string root = t.mkdir("proj"), other = t.mkdir("elsewhere");
  t.mkdir("proj/src");
  t.link(root + "/src", "into_src");  // a way into the project from outside
  const HookEnv plain{"", "", root};
  struct Case {
    std::string input;
    HookEnv env;
    std::string kind, path, file;  // kind "" : nothing recorded
  } cases[] = {
      {hook("Read", R"({"file_path": ")" + root + R"(/src/a.py"})"), plain, "read", "src/a.py", ""},
      {hook("Edit", R"({"file_path": ")" + root + R"(/src/a.py", "old_string": "x"})"), plain, "edit_observation",
       "src/a.py", ""},
      {hook("Write", R"({"file_path": "src/../b.py"})"), plain, "edit_observation", "b.py", ""},
      {hook("MultiEdit", R"({"file_path": "/etc/hosts"})"), plain, "edit_observation", "/etc/hosts", ""},
      {hook("NotebookEdit", R"({"notebook_path": "nb/x.ipynb"})"), plain, "edit_observation", "nb/x.ipynb", ""},
      {hook("Read", R"({"file_path": ")" + t.path() + R"(/into_src/c.py"})"), plain, "read", "src/c.py", ""},
      // the hook's cwd: the root when no project directory is set, and what relative paths start from
      {hook("Read", R"({"file_path": "d.py"})", R"(, "cwd": ")" + root + R"(/src")"),
       {"", "", other},
       "read",
       "d.py",
       root + "/src/.braid/chat_action_graph.json"},
      {hook("Read", R"({"file_path": "d.py"})", R"(, "cwd": ")" + root + R"(/src")"),
       {root, "", other},
       "read",
       "src/d.py",
       ""},
      // BR_DATA_DIR moves the file, and the root paths are relative to
      {hook("Read", R"({"file_path": ")" + root + R"(/src/a.py"})"),
       {"", other + "/.braid", root},
       "read",
       root + "/src/a.py",
       other + "/.braid/chat_action_graph.json"},
      {hook("Bash", R"({"command": "rm -f src/a.py"})"), plain, "", "", ""},
      {hook("Read", R"({"file_path": "  "})"), plain, "", "", ""},
      {hook("Read", R"({"path": "src/a.py"})"), plain, "", "", ""},
      {hook("Read", R"("src/a.py")"), plain, "", "", ""},
      {"[]", plain, "", "", ""},
      {"{\"tool_name\": \"Read\", \"tool_input\": {\"file_path\": \"a\"}", plain, "", "", ""},
      {"\xEF\xBB\xBF" + hook("Read", R"({"file_path": "a"})"), plain, "", "", ""},
  };
  for (const Case& c : cases) {
    std::optional<HookCall> call = hook_call(c.input, c.env);
    ASSERT_EQ(call.has_value(), !c.kind.empty()) << c.input;
    if (!call) continue;
    EXPECT_EQ(call->action.kind, c.kind) << c.input;
    EXPECT_EQ(call->action.file, c.path) << c.input;
    EXPECT_EQ(call->place.file, c.file.empty() ? root + "/.braid/chat_action_graph.json" : c.file) << c.input;
  }
  EXPECT_EQ(hook_call(hook("Read", R"({"file_path": "a"})"), plain)->action.session, "s1");
}

TEST(Recorder, KeepsRecentActionsAndWhatOthersWrote) {
  const NewAction read{"read", "src/new.py", "Read", "s2"};
  const std::string existing =
      R"({"meta": {"by": "someone"}, "actions": [)"
      R"({"kind": "read", "payload": {"file": "old.py"}, "ts": 1699913599},)"   // 24 h and a second ago
      R"({"kind": "tool_call", "payload": null, "ts": 1699913600, "x": [1]},)"  // exactly 24 h ago
      R"({"kind": "register_edit", "payload": {"file": "f\u00e9.py"}, "ts": 1800000000}]})";
  std::optional<std::string> out = updated(existing, {&read, 1}, NOW);
  ASSERT_TRUE(out);
  const json::Value doc = json::parse(*out);
  EXPECT_EQ(json::dumps(doc["meta"]), R"({"by": "someone"})");
  const json::Array& acts = doc["actions"].as_array();
  ASSERT_EQ(acts.size(), 3u);
  EXPECT_EQ(json::dumps(acts[0]), R"({"kind": "tool_call", "payload": null, "ts": 1699913600, "x": [1]})");
  EXPECT_EQ(acts[1]["payload"]["file"].as_string(), "f\u00e9.py");
  EXPECT_EQ(
      json::dumps(acts[2]),
      R"({"kind": "read", "payload": {"file": "src/new.py", "tool": "Read", "session": "s2"}, "ts": 1700000000})");

  // A new file; and no more than MAX_ACTIONS, the oldest going first.
  std::optional<std::string> fresh = updated(std::nullopt, {&read, 1}, NOW);
  EXPECT_EQ(fresh->substr(0, 27), R"({"version": 1, "actions": [)");
  std::vector<NewAction> many(MAX_ACTIONS, read);
  many.front().file = "first.py";
  many.back().file = "last.py";
  std::optional<std::string> full = updated(*updated(std::nullopt, many, NOW - 1), {&read, 1}, NOW);
  const json::Array kept = actions_of(*full);
  ASSERT_EQ(kept.size(), MAX_ACTIONS);
  EXPECT_EQ(kept[0]["payload"]["file"].as_string(), "src/new.py");
  EXPECT_EQ(kept[MAX_ACTIONS - 2]["payload"]["file"].as_string(), "last.py");
  EXPECT_EQ(kept[MAX_ACTIONS - 1]["ts"].as_int(), NOW);

  // What the guard would not read is not written over.
  for (std::string_view bad : {"", "[]", "{\"actions\": {}}", "{\"actions\": [{\"ts\": \"x\"}]}", "nonsense"})
    EXPECT_FALSE(updated(bad, {&read, 1}, NOW)) << bad;
}

// The writer hands the kernel runs of the old file's bytes where the new text
// repeats them; what lands on disk must still be exactly the rendered text.
TEST(Recorder, RecordWritesWhatUpdateComputes) {
  testkit::TempDir t;
  const std::string file = t / ".braid/chat_action_graph.json";
  const NewAction read{"read", "src/new.py", "Read", "s2"};
  std::vector<NewAction> many(MAX_ACTIONS, read);
  many.front().file = "first.py";
  const std::string line = R"({"kind": "read", "payload": {"file": "a.py", "tool": "Read", "session": "s"}, "ts": 1699999999})";
  for (const std::string& existing : {
           *updated(std::nullopt, many, NOW - 1),  // full: the first goes
           R"({"version": 1, "actions": [)" "\n" + line + ",\n" + line + "\n]}",
           R"({"actions": [)" + line + ", " + line + "],\n\"z\": [1]}",  // other separators, a member after
           R"({"actions": [{"kind": "read", "payload": {"file": "old.py"}, "ts": 1699913599},)" + line + "]}",  // pruned
           std::string(R"({"actions": []})"),
       }) {
    t.write(".braid/chat_action_graph.json", existing);
    record(file, {&read, 1}, NOW);
    EXPECT_EQ(t.read(".braid/chat_action_graph.json"), *updated(existing, {&read, 1}, NOW)) << existing.substr(0, 80);
  }
}

TEST(Recorder, MalformedFileIsKeptAside) {
  testkit::TempDir t;
  const std::string file = t / ".braid/chat_action_graph.json";
  const NewAction read{"read", "a.py", "Read", ""};
  t.write(".braid/chat_action_graph.json", "{\"actions\": [oops");
  Recorded r = record(file, {&read, 1}, NOW);
  EXPECT_EQ(r.moved_aside, file + ".bad");
  EXPECT_EQ(t.read(".braid/chat_action_graph.json.bad"), "{\"actions\": [oops");
  EXPECT_EQ(r.actions, 1u);
  EXPECT_EQ(actions_of(t.read(".braid/chat_action_graph.json")).size(), 1u);
  // A second bad file does not replace the first.
  t.write(".braid/chat_action_graph.json", "[]");
  EXPECT_EQ(record(file, {&read, 1}, NOW).moved_aside, file + ".bad.1");
  EXPECT_EQ(t.read(".braid/chat_action_graph.json.bad"), "{\"actions\": [oops");
}

TEST(Recorder, ParallelWritersLoseNothing) {
  testkit::TempDir t;
  const std::string file = t / ".braid/chat_action_graph.json";
  constexpr int kProcesses = 8, kCalls = 200;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int status = 0;
      for (int i = 0; i < kCalls; ++i) {
        NewAction a{"read", "p", "Read", ""};
        a.file += std::to_string(p) + '/' + std::to_string(i);
        try {
          record(file, {&a, 1}, NOW);
        } catch (...) {
          status = 1;
        }
      }
      ::_exit(status);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::string> files;
  for (const json::Value& a : actions_of(t.read(".braid/chat_action_graph.json")))
    files.insert(a["payload"]["file"].as_string());
  EXPECT_EQ(files.size(), static_cast<size_t>(kProcesses * kCalls));
}

// `attention show` and the guard read the same record the same way: a file is
// listed exactly when the guard would stop an edit of it.
TEST(Recorder, ShowListsWhatTheGuardGuards) {
  testkit::TempDir t;
  const std::string file = t / ".braid/chat_action_graph.json";
  struct Step {
    std::string kind, file;
    int64_t age;
  } steps[] = {
      {"read", "at.py", 0},
      {"read", "at.py", 0},  // 4.0: at the threshold
      {"read", "below.py", 0},
      {"read_cache_hit", "below.py", 0},   // 3.0
      {"register_edit", "hour.py", 3600},  // 4.0 an hour later
      {"edit_observation", "two.py", 7200},
      {"register_edit", "two.py", 7200},  // 3.25
      {"edit_observation", "/abs/out.py", 60},
  };
  for (const Step& s : steps) {
    const NewAction a{s.kind, s.file, "", ""};
    record(file, {&a, 1}, NOW - s.age);
  }
  std::vector<std::string> listed;
  for (const Record& r : at_risk(load_records(file, NOW))) listed.push_back(r.file);
  EXPECT_EQ(listed, (std::vector<std::string>{"/abs/out.py", "at.py", "hour.py"}));

  edit_guard::Host host = edit_guard::system_host();
  host.getenv = [](std::string_view) -> std::optional<std::string> { return std::nullopt; };
  host.now = [] { return NOW; };
  host.cwd = t.path();
  for (std::string_view f : {"at.py", "below.py", "hour.py", "two.py", "/abs/out.py"}) {
    const std::string path = f.starts_with("/") ? std::string(f) : t / f;
    const std::string call = R"({"tool_name": "Edit", "tool_input": {"file_path": ")" + path + R"("}})";
    const bool guarded = edit_guard::decide(call, host).verdict != edit_guard::Verdict::Allow;
    EXPECT_EQ(guarded, std::find(listed.begin(), listed.end(), f) != listed.end()) << f;
  }
}

// The hooks end to end: recorded Read, Edit, Edit; then `rm -f` is blocked.
TEST(Recorder, CommandRecordsWhatTheGuardThenBlocks) {
  testkit::TempDir t;
  const std::string root = t.mkdir("proj");
  t.write("proj/src/app.py", "x = 1\n");
  ScopedEnv project("CLAUDE_PROJECT_DIR", root.c_str()), data("BR_DATA_DIR", nullptr), guard("BR_EDIT_GUARD", nullptr);
  const std::string path = R"({"file_path": ")" + root + R"(/src/app.py"})";
  for (std::string_view tool : {"Read", "Edit", "Edit"}) {
    testkit::Output o = testkit::run_command("attention", {"record"}, t.path(), hook(tool, path));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
  }
  testkit::Output shown = testkit::run_command("attention", {"show", "--root", root}, t.path());
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.out.find("1 of 1 file at or above"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("  12.0      1      2     0 min ago  src/app.py\n"), std::string::npos) << shown.out;

  const std::string rm = R"({"tool_name": "Bash", "tool_input": {"command": "rm -f src/app.py"}})";
  EXPECT_EQ(testkit::run_command("edit_guard", {}, root, rm).status, 2);

  // Nothing gets in the assistant's way: a failure is one line and exit 0.
  ::unlink((root + "/.braid/chat_action_graph.json.lock").c_str());
  t.mkdir("proj/.braid/chat_action_graph.json.lock");  // the lock cannot be opened
  testkit::Output failed = testkit::run_command("attention", {"record"}, t.path(), hook("Read", path));
  EXPECT_EQ(failed.status, 0);
  EXPECT_EQ(std::count(failed.err.begin(), failed.err.end(), '\n'), 1) << failed.err;
  EXPECT_EQ(testkit::run_command("attention", {"record"}, t.path(), "\xff{").status, 0);
}

}  // namespace
}  // namespace kestrune::attention
