#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "common/testkit.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/br/br.h"
#include "kestrune/brc_claude/brc_claude.h"

namespace kestrune::brc_claude {
namespace {

using testkit::TempDir;

// br's files go to a scratch package directory, never beside the build.
const TempDir& package() {
  static TempDir dir;
  return dir;
}
const bool base_dir_set = [] {
  br::set_base_dir(package().path());
  return true;
}();

using testkit::ScopedEnv;

TEST(ClaudeArgv, EveryFlagCombinationInItsFixedOrder) {
  for (int mask = 0; mask < 8; ++mask) {
    Args a;
    a.model = "m1";
    a.json = mask & 1;
    a.no_permissions = mask & 2;
    a.no_session = mask & 4;
    std::vector<std::string> want = {"claude", "-p", "PROMPT", "--model", "m1"};
    if (a.json) want.insert(want.end(), {"--output-format", "json"});
    if (a.no_permissions) want.push_back("--dangerously-skip-permissions");
    if (a.no_session) want.push_back("--no-session-persistence");
    EXPECT_EQ(claude_argv(a, "PROMPT"), want) << mask;
  }
}

TEST(BuildPrompt, ContextSeparatorQuestionInstructions) {
  EXPECT_EQ(build_prompt("CTX", "how does login work"),
            "CTX\n\n---\n\nUser question: how does login work\n\nInstructions: Answer thoroughly using "
            "the pre-loaded context above. Include relevant code snippets in your response when they "
            "help explain the answer. Reference specific file paths and line numbers. Do not edit any "
            "files.");
}

TEST(ChildEnvironment, DropsOnlyTheClaudeSessionVariables) {
  ScopedEnv a("CLAUDECODE", "1"), b("CLAUDE_CODE_SESSION", "abc"), c("CLAUDECODE_X", "kept"),
      d("KESTRUNE_PROBE", "v=1");
  std::vector<std::string> env = child_environment();
  auto has = [&](const std::string& e) { return std::find(env.begin(), env.end(), e) != env.end(); };
  EXPECT_FALSE(has("CLAUDECODE=1"));
  EXPECT_FALSE(has("CLAUDE_CODE_SESSION=abc"));
  EXPECT_TRUE(has("CLAUDECODE_X=kept"));
  EXPECT_TRUE(has("KESTRUNE_PROBE=v=1"));
}

TEST(Which, FindsTheFirstExecutableFileOnPath) {
  TempDir d;
  d.write("a/claude", "x", 0644);         // not executable
  fs::makedirs(fs::join(d.path(), "b/claude"));  // a directory
  std::string good = d.write("c/claude", "#!/bin/sh\n", 0755);
  d.write("e/claude", "#!/bin/sh\n", 0755);
  std::string path = d.path() + "/a:" + d.path() + "/b:" + d.path() + "/c:" + d.path() + "/e";
  {
    ScopedEnv p("PATH", path.c_str());
    EXPECT_EQ(which("claude"), good);
    EXPECT_EQ(which("nothing-like-this"), std::nullopt);
    EXPECT_EQ(which(good), good);  // a name with a slash is taken as it is
  }
  ScopedEnv empty("PATH", "");
  EXPECT_EQ(which("claude"), std::nullopt);
}

TEST(EnsureGraph, ScansOnceOnFirstUseThenReadsTheFile) {
  TempDir proj;
  proj.write("src/app.ts", "export function hello() {\n  return 1\n}\n");
  const std::string graph_json = br::paths().graph_json;
  ASSERT_EQ(graph_json, fs::join(package().path(), "data/info_graph.json"));
  std::remove(graph_json.c_str());

  testing::internal::CaptureStderr();
  json::Value built = ensure_graph(proj.path());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(err, std::regex("\\[brc\\] No graph found — scanning " + proj.path() +
                                               " \\.\\.\\.\n\\[brc\\] Graph built in \\d+\\.\\ds: 2 nodes, 1 edges\n")))
      << err;
  EXPECT_EQ(fs::read_bytes(graph_json), json::dumps(built, {.indent = 2}));

  // Another project's root does not matter once the file exists.
  testing::internal::CaptureStderr();
  json::Value again = ensure_graph("/nonexistent");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(again, built);

  fs::write_atomic(graph_json, "{oops");
  EXPECT_THROW(ensure_graph(proj.path()), json::ParseError);
  std::remove(graph_json.c_str());
}

TEST(AuditPrompt, AsksForTheRoadmapAndCarriesTheFile) {
  std::string p = audit_prompt("# Audit Context\n\nVibe debt score: 40/100 (MEDIUM)");
  EXPECT_EQ(p.rfind("Read .braid/AUDIT_CONTEXT.md", 0), 0u);
  EXPECT_NE(p.find("fix roadmap"), std::string::npos);
  EXPECT_NE(p.find("--- .braid/AUDIT_CONTEXT.md ---\n# Audit Context\n\nVibe debt score: 40/100 (MEDIUM)\n"
                   "--- end of .braid/AUDIT_CONTEXT.md ---"),
            std::string::npos);
}

}  // namespace
}  // namespace kestrune::brc_claude
