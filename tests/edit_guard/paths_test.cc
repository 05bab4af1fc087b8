#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "kestrune/base/fs.h"
#include "kestrune/edit_guard/paths.h"

namespace kestrune::edit_guard {
namespace {

// The resolver caches what it learns about directories and names; whatever
// order paths come in, each must resolve as Path.resolve() does on its own.
TEST(Resolver, AgreesWithPathResolveThroughLinksDotsAndLoops) {
  char tmpl[] = "/tmp/edit_guard_paths.XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string d = fs::resolve(tmpl);
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

  const std::vector<std::string> paths = {
      "real/f.py", "alias/f.py", "abs/sub/g.py", "chain/sub/back", "real/up/alias/flink",
      "real/flink/x", "dangling", "dangling/y", "loop", "loop/x", "loopa/x", "into_loop",
      "real/missing/z", "real/f.py/x", "alias/../real/f.py", "alias/sub/../f.py", "chain/sub/back/..",
      "real/dotdot/f.py", "./real//f.py", "real/.", "real/..", "alias/..", "real/sub/back/../sub",
      "nonexistent/../real/f.py", "real/up/real/up/chain/sub/g.py", "real/sub/g.py/",
  };
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
  std::system(("rm -rf '" + d + "'").c_str());
}

}  // namespace
}  // namespace kestrune::edit_guard
