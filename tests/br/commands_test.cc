#include "kestrune/br/commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/testkit.h"
#include "kestrune/base/fs.h"
#include "kestrune/br/br.h"

namespace kestrune::br {
namespace {

TEST(ParseArgs, SubcommandsDefaultsAndErrors) {
  auto a = parse_args({"br", "retrieve", "--query", "x y", "--top-files=3", "--top-e", "-2", "--json"});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->cmd, "retrieve");
  EXPECT_EQ(a->text.at("query"), "x y");
  EXPECT_EQ(a->num.at("top_files"), 3);
  EXPECT_EQ(a->num.at("top_edges"), -2);
  EXPECT_TRUE(a->flag.at("json"));
  auto p = parse_args({"br", "prime"});
  EXPECT_EQ(p->num.at("top_files"), 12);
  EXPECT_EQ(p->num.at("recent_actions"), 8);
  auto l = parse_args({"br", "action", "log", "--kind", "edit", "--summary", ""});
  EXPECT_EQ(l->action_cmd, "log");
  EXPECT_EQ(l->text.at("summary"), "");
  EXPECT_EQ(l->text.at("meta"), "");

  auto err = [](std::vector<std::string> argv) {
    try {
      parse_args(argv);
    } catch (const UsageError& e) {
      return e.message;
    }
    return std::string("no error");
  };
  EXPECT_EQ(err({"br"}), "the following arguments are required: cmd");
  EXPECT_EQ(err({"br", "retrieve"}), "the following arguments are required: --query");
  EXPECT_EQ(err({"br", "retrieve", "--query", "q", "--top-files", "x"}), "argument --top-files: invalid int value: 'x'");
  EXPECT_EQ(err({"br", "retrieve", "--query"}), "argument --query: expected one argument");
  EXPECT_EQ(err({"br", "retrieve", "--query", "q", "--top", "1"}),
            "ambiguous option: --top could match --top-files, --top-edges");
  EXPECT_EQ(err({"br", "action"}), "the following arguments are required: action_cmd");
  EXPECT_EQ(err({"br", "nope"}),
            "argument cmd: invalid choice: 'nope' (choose from 'scan', 'retrieve', 'prime', 'action', 'stats')");
  EXPECT_EQ(err({"br", "stats", "extra"}), "unrecognized arguments: extra");
}

// br's files go beside the package when they can be written there, else to
// the user's data directory (an install owned by another user).
TEST(UsableDataDir, ThePackageDirectoryWhenWritableElseTheUsersOwn) {
  testkit::TempDir d;
  d.mkdir("pkg/data");
  d.write("file", "");
  testkit::ScopedEnv home("HOME", d.path().c_str());
  const std::string xdg_default = d / ".local/share/kestrune/data";
  struct Case {
    std::string package_data;
    const char* xdg;
    std::string want;
  };
  const Case cases[] = {
      {d / "pkg/data", nullptr, d / "pkg/data"},             // there and writable
      {d / "pkg/new/deeper/data", nullptr, d / "pkg/new/deeper/data"},  // can be created
      {d / "file", nullptr, xdg_default},                    // a file in the way
      {d / "file/data", "/x/share", "/x/share/kestrune/data"},  // a file as its parent
      {d / "file/data", "", xdg_default},                    // an empty XDG_DATA_HOME is unset
      {d / "file/data", "rel/share", xdg_default},           // so is a relative one
  };
  for (const Case& c : cases) {
    testkit::ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
    EXPECT_EQ(usable_data_dir(c.package_data), c.want) << c.package_data;
  }
  if (::geteuid() != 0) {  // permission bits do not stop root
    d.mkdir("locked/data");
    ::chmod((d / "locked").c_str(), 0555);
    ::chmod((d / "locked/data").c_str(), 0555);
    testkit::ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(usable_data_dir(d / "locked/data"), xdg_default);
    EXPECT_EQ(usable_data_dir(d / "locked/new"), xdg_default);
  }
}

}  // namespace
}  // namespace kestrune::br
