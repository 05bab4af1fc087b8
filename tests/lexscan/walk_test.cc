#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "kestrune/base/fs.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/walk.h"
#include "common/testkit.h"

namespace kestrune::lexscan {
namespace {

using testkit::TempDir;

// The walk's files as ids, order kept.
std::vector<std::string> ids(const std::string& root) {
  std::vector<std::string> out;
  for (const auto& p : walk_files(root)) out.push_back(rel(p, root));
  return out;
}

std::multiset<std::string> id_set(const std::string& root) {
  auto v = ids(root);
  return {v.begin(), v.end()};
}

TEST(Walk, ConstantsAndExtensions) {
  EXPECT_EQ(SKIP_DIRS.size(), 25u);
  EXPECT_TRUE(is_skip_dir("node_modules") && is_skip_dir(".braid") && is_skip_dir("target"));
  EXPECT_FALSE(is_skip_dir("Build"));
  EXPECT_TRUE(is_symbol_ext(".php") && !is_symbol_ext(".go"));
  EXPECT_EQ(lower_ext("a/page.TSX"), ".tsx");
  EXPECT_EQ(lower_ext("archive.tar.gz"), ".gz");
  EXPECT_EQ(lower_ext(".hidden"), "");
  EXPECT_EQ(lower_ext("name."), "");
  EXPECT_EQ(lower_ext("Makefile"), "");
}

TEST(Walk, ShouldScanLooksAtExtensionAndVenvInThePath) {
  EXPECT_TRUE(should_scan("r/README.MD"));
  EXPECT_TRUE(should_scan("r/x.yml") && should_scan("r/v.xaml") && should_scan("r/s.swift"));
  EXPECT_FALSE(should_scan("r/notes.txt") || should_scan("r/Makefile") || should_scan("r/index.php") ||
               should_scan("r/.json"));
  EXPECT_FALSE(should_scan("/home/u/venv/proj/a.py"));
  EXPECT_FALSE(should_scan("/home/u/.venv/proj/a.py"));
  EXPECT_TRUE(should_scan("/home/u/venvs/proj/a.py"));
  EXPECT_TRUE(should_scan("venv/a.py"));  // no leading slash: the pattern needs one
}

TEST(Walk, PrunesSkipDirsAndSelectsByExtension) {
  TempDir d;
  d.write("node_modules/x.ts", "");
  d.write("src/node_modules/deep/y.ts", "");
  d.write("src/node_modules_helper.ts", "");
  d.write("Build/keep.ts", "");
  d.write("build/skip.ts", "");
  d.write("README.MD", "");
  d.write("notes.txt", "");
  d.write("Makefile", "");
  d.write("index.php", "");
  d.write(".eslintrc", "");
  d.write(".config.json", "");
  EXPECT_EQ(id_set(d.path()),
            (std::multiset<std::string>{"src/node_modules_helper.ts", "Build/keep.ts", "README.MD", ".config.json"}));
}

TEST(Walk, DirectoryEntriesComeBeforeSubdirectories) {
  TempDir d;
  d.write("a/deep/x.ts", "");
  d.write("top.ts", "");
  d.write("a/mid.ts", "");
  auto v = ids(d.path());
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0], "top.ts");
  EXPECT_EQ(v[1], "a/mid.ts");
  EXPECT_EQ(v[2], "a/deep/x.ts");
  EXPECT_EQ(rel(d / "a/mid.ts", d.path()), "a/mid.ts");
}

TEST(Walk, LinksInsideAreFollowedOutsideAreNot) {
  TempDir outside;
  outside.write("ext/o.ts", "");
  outside.write("far.ts", "");
  TempDir d;
  d.write("real/r.ts", "");
  d.link(d / "real", "alias");               // same files again, under the real ids
  d.link(d / "real/r.ts", "near.ts");         // a file link inside: the id of its target
  d.link(outside / "ext", "external");        // leaves the project: not entered
  d.link(outside / "far.ts", "linked.ts");    // nor is a linked file that leaves it
  d.link("/etc/passwd", "notes.md");
  d.link(d / "missing", "dangling_dir");
  d.link(d / "missing.ts", "dangling.ts");
  EXPECT_EQ(id_set(d.path()), (std::multiset<std::string>{"real/r.ts", "real/r.ts", "real/r.ts"}));
  // So no file outside the project reaches the graph.
  json::Value graph = scan(d.path());
  EXPECT_EQ(graph["file_count"].as_int(), 3);
  EXPECT_EQ(json::dumps(graph).find("root:"), std::string::npos);  // no line of /etc/passwd
}

TEST(Walk, LinkCyclesEndAndSiblingLinksStillCount) {
  TempDir d;
  d.write("a/x.ts", "");
  d.write("b/y.ts", "");
  d.link(d.path(), "a/up");       // back to the root
  d.link(d / "a", "a/self");      // to its own directory
  d.link(d / "b", "a/to_b");      // a sibling: entered
  d.link(d / "a", "b/to_a");      // and back: a is not on b's way down, but b is on a's
  d.link(d / "loop1", "loop2");   // a link loop is neither file nor directory
  d.link(d / "loop2", "loop1");
  auto got = id_set(d.path());
  EXPECT_EQ(got, (std::multiset<std::string>{"a/x.ts", "a/x.ts", "b/y.ts", "b/y.ts"}));
}

TEST(Walk, RootInsideVenvYieldsNothing) {
  TempDir d;
  d.write("venv/proj/a.py", "");
  d.write("venvs/proj/a.py", "");
  EXPECT_TRUE(walk_files(d / "venv/proj").empty());
  EXPECT_EQ(walk_files(d / "venvs/proj").size(), 1u);
}

TEST(Walk, EmptyMissingAndUnreadableTrees) {
  TempDir d;
  EXPECT_TRUE(walk_files(d.path()).empty());
  EXPECT_TRUE(walk_files(d / "nope").empty());
  d.write("ok/a.ts", "");
  d.write("locked/b.ts", "");
  d.write("caf\xc3\xa9/\xe2\x9c\x93.md", "");
  chmod((d / "locked").c_str(), 0);
  auto got = id_set(d.path());
  chmod((d / "locked").c_str(), 0755);
  EXPECT_TRUE(got.contains("ok/a.ts"));
  EXPECT_TRUE(got.contains("caf\xc3\xa9/\xe2\x9c\x93.md"));
  if (geteuid() != 0) {
    EXPECT_FALSE(got.contains("locked/b.ts"));
  }
}

}  // namespace
}  // namespace kestrune::lexscan
