#include "kestrune/br/commands.h"

#include <gtest/gtest.h>

#include "kestrune/br/pyint.h"

namespace kestrune::br {
namespace {

TEST(PyInt, ConvertsLikePythonInt) {
  EXPECT_EQ(int_from_json(json::parse("100")).str(), "100");
  EXPECT_EQ(int_from_json(json::parse("true")).str(), "1");
  EXPECT_EQ(int_from_json(json::parse("false")).str(), "0");
  EXPECT_EQ(int_from_json(json::parse("-2.9")).str(), "-2");
  EXPECT_EQ(int_from_json(json::parse("1e20")).str(), "100000000000000000000");
  EXPECT_EQ(int_from_json(json::parse("-1.5e300")).str().size(), 302u);
  EXPECT_EQ(int_from_json(json::parse("\" -1_000 \"")).str(), "-1000");
  EXPECT_EQ(int_from_json(json::parse("\"+7\"")).str(), "7");
  EXPECT_EQ(int_from_json(json::parse("\"\\u0663\\u0664\"")).str(), "34");  // Arabic-Indic digits
  EXPECT_EQ(int_from_json(json::parse("123456789012345678901234567890")).str(),
            "123456789012345678901234567890");
  for (auto bad : {"\"1.5\"", "\"\"", "\"_1\"", "\"1_\"", "\"1__0\"", "\"- 1\"", "\"\\u00b2\"", "null",
                   "[]", "{}", "NaN", "Infinity"})
    EXPECT_THROW(int_from_json(json::parse(bad)), IntConversionError) << bad;
  try {
    int_from_json(json::parse("\"abc\""));
  } catch (const IntConversionError& e) {
    EXPECT_STREQ(e.what(), "invalid literal for int() with base 10: 'abc'");
  }
}

TEST(PyInt, SumsExactly) {
  BigInt total;
  total += BigInt::from_decimal("9223372036854775807");
  total += BigInt(1);
  EXPECT_EQ(total.str(), "9223372036854775808");
  EXPECT_EQ(json::dumps(total.to_json()), "9223372036854775808");
  total += BigInt::from_decimal("-9223372036854775809");
  EXPECT_EQ(total.str(), "-1");
  EXPECT_EQ(total.to_json(), json::Value(-1));
  total += BigInt(1);
  EXPECT_EQ(total.str(), "0");
}

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
