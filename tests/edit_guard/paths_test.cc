#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "common/testkit.h"
#include "kestrune/base/fs.h"
#include "kestrune/edit_guard/paths.h"

namespace kestrune::edit_guard {
namespace {

// The resolver caches what it learns about directories and names; whatever
// order paths come in, each must resolve as Path.resolve() does on its own.
TEST(Resolver, AgreesWithPathResolveThroughLinksDotsAndLoops) {
  const testkit::TempDir scratch;
  const std::string& d = scratch.path();
  auto link = [&](const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), (d + "/" + name).c_str()), 0) << name;
  };
  fs::makedirs(d + "/real/sub");
  fs::write_atomic(d + "/real/f.py", "");
  fs::write_atomic(d + "/real/sub/g.py", "");
  link("real", "alias");
  link(d + "/real", "abs");
  link("alias", "chain");
  link("..", "real/up");
  link("f.py", "real/flink");
  link("../f.py", "real/sub/back");
  link("sub/..", "real/dotdot");
  link("nowhere/x", "dangling");
  link("loop", "loop");
  link("loopb", "loopa");
  link("loopa", "loopb");
  link("loop/x", "into_loop");
  // A directory asked about many names is read rather than looked up name by
  // name: its links, subdirectories and missing names must come out the same.
  fs::makedirs(d + "/many/dir");
  for (int i = 0; i < 60; ++i) fs::write_atomic(d + "/many/f" + std::to_string(i), "");
  link("f7", "many/link_to_file");
  link("../real", "many/link_to_dir");
  link("missing", "many/dangling");
  link("self", "many/self");
  link("dir/..", "many/dotdot");

  std::vector<std::string> paths = {
      "real/f.py", "alias/f.py", "abs/sub/g.py", "chain/sub/back", "real/up/alias/flink",
      "real/flink/x", "dangling", "dangling/y", "loop", "loop/x", "loopa/x", "into_loop",
      "real/missing/z", "real/f.py/x", "alias/../real/f.py", "alias/sub/../f.py", "chain/sub/back/..",
      "real/dotdot/f.py", "./real//f.py", "real/.", "real/..", "alias/..", "real/sub/back/../sub",
      "nonexistent/../real/f.py", "real/up/real/up/chain/sub/g.py", "real/sub/g.py/",
  };
  std::vector<std::string> many;
  for (int i = 0; i < 64; i += 3) many.push_back("many/f" + std::to_string(i));
  for (std::string name : {"link_to_file", "link_to_dir/f.py", "link_to_dir/sub/back", "dangling", "self",
                           "self/x", "dotdot/f1", "dir", "dir/x", "gone", "f3/x", "link_to_file/x"})
    many.push_back("many/" + name);
  paths.insert(paths.end(), many.begin(), many.end());
  paths.insert(paths.end(), many.begin(), many.end());
  auto expected = [&](const std::string& p) -> std::optional<std::string> {
    try {
      return fs::resolve(d + "/" + p);
    } catch (const std::exception&) {
      return std::nullopt;
    }
  };
  Resolver shared(d), reverse(d);
  for (const std::string& p : paths) {
    EXPECT_EQ(Resolver(d).resolve(p), expected(p)) << p;
    EXPECT_EQ(shared.resolve(p), expected(p)) << p;
    EXPECT_EQ(shared.resolve(d + "/" + p), expected(p)) << p;
  }
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) EXPECT_EQ(reverse.resolve(*it), expected(*it)) << *it;
}

}  // namespace
}  // namespace kestrune::edit_guard
