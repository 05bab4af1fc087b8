#include "kestrune/br/commands.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kestrune::br
