// The command line is read the way the standard argument parser reads it; the
// expected values below are what that parser gives for the same words.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestrune/brc_claude/brc_claude.h"

namespace kestrune::brc_claude {
namespace {

using Words = std::vector<std::string>;

const std::string USAGE =
    "usage: brc-claude [-h] [--project-root PROJECT_ROOT] [--budget BUDGET]\n"
    "                  [--max-files MAX_FILES] [--model MODEL] [--json] [--dry-run]\n"
    "                  [--no-permissions] [--no-session] [--verbose]\n"
    "                  [--ranker RANKER]\n"
    "                  [query ...]\n";

std::string error_of(const Words& w) {
  try {
    parse_args(w);
  } catch (const ParseExit& e) {
    EXPECT_EQ(e.status, 2);
    EXPECT_EQ(e.text.substr(0, USAGE.size()), USAGE);
    return e.text.substr(USAGE.size());
  }
  ADD_FAILURE() << "parsed";
  return "";
}

TEST(ParseArgs, DefaultsAndEveryOption) {
  Args a = parse_args({});
  EXPECT_TRUE(a.query.empty());
  EXPECT_EQ(a.project_root, ".");
  EXPECT_EQ(a.budget, 5000);
  EXPECT_EQ(a.max_files, 8);
  EXPECT_EQ(a.model, "claude-sonnet-4-6");
  EXPECT_FALSE(a.json || a.dry_run || a.no_permissions || a.no_session || a.verbose);

  a = parse_args({"--json", "--dry-run", "--no-permissions", "--no-session", "-v", "-r", "/p", "-b", "7",
                  "--max-files", "3", "-m", "opus", "how", "", "login", "works"});
  EXPECT_TRUE(a.json && a.dry_run && a.no_permissions && a.no_session && a.verbose);
  EXPECT_EQ(a.project_root, "/p");
  EXPECT_EQ(a.budget, 7);
  EXPECT_EQ(a.max_files, 3);
  EXPECT_EQ(a.model, "opus");
  EXPECT_EQ(a.query, (Words{"how", "", "login", "works"}));
  EXPECT_EQ(a.ranker, "");
  EXPECT_EQ(parse_args({"--ranker", "relevance", "q"}).ranker, "relevance");
}

TEST(ParseArgs, AttachedValuesAbbreviationsAndMarkers) {
  EXPECT_EQ(parse_args({"-b5", "x"}).budget, 5);
  EXPECT_EQ(parse_args({"--budget=9", "x"}).budget, 9);
  EXPECT_EQ(parse_args({"--bud=3", "x"}).budget, 3);
  EXPECT_EQ(parse_args({"-b", " 1_000 "}).budget, 1000);
  EXPECT_EQ(parse_args({"-b", "-5"}).budget, -5);
  EXPECT_EQ(parse_args({"--max", "2"}).max_files, 2);
  Args a = parse_args({"-vr.", "q"});
  EXPECT_TRUE(a.verbose);
  EXPECT_EQ(a.project_root, ".");
  EXPECT_EQ(parse_args({"--", "-x", "y"}).query, (Words{"-x", "y"}));
  EXPECT_EQ(parse_args({"-5", "-"}).query, (Words{"-5", "-"}));
  EXPECT_EQ(parse_args({"-m", "a", "-m", "b"}).model, "b");
  EXPECT_EQ(parse_args({"--json", "how", "does", "it"}).query, (Words{"how", "does", "it"}));
}

TEST(ParseArgs, UsageErrors) {
  EXPECT_EQ(error_of({"-b", "x"}), "brc-claude: error: argument --budget/-b: invalid int value: 'x'\n");
  EXPECT_EQ(error_of({"-b", "1__0"}), "brc-claude: error: argument --budget/-b: invalid int value: '1__0'\n");
  EXPECT_EQ(error_of({"-b"}), "brc-claude: error: argument --budget/-b: expected one argument\n");
  EXPECT_EQ(error_of({"--max-files", "--json"}),
            "brc-claude: error: argument --max-files: expected one argument\n");
  // The question is one run of words: words after an option are left over.
  EXPECT_EQ(error_of({"a", "--dry-run", "b"}), "brc-claude: error: unrecognized arguments: b\n");
  EXPECT_EQ(error_of({"--bogus", "x"}), "brc-claude: error: unrecognized arguments: --bogus\n");
  EXPECT_EQ(error_of({"--no", "x"}),
            "brc-claude: error: ambiguous option: --no could match --no-permissions, --no-session\n");
  EXPECT_EQ(error_of({"--ranker", "bm25"}),
            "brc-claude: error: argument --ranker: invalid choice: 'bm25' (choose from 'heuristic', 'relevance')\n");
  EXPECT_EQ(error_of({"-vx"}), "brc-claude: error: argument --verbose/-v: ignored explicit argument 'x'\n");
  EXPECT_EQ(error_of({"--json=1"}), "brc-claude: error: argument --json: ignored explicit argument '1'\n");
}

TEST(ParseArgs, HelpGoesToStandardOutputWithStatusZero) {
  for (const Words& w : {Words{"-h"}, Words{"q", "--he"}}) {
    try {
      parse_args(w);
      ADD_FAILURE();
    } catch (const ParseExit& e) {
      EXPECT_EQ(e.status, 0);
      EXPECT_EQ(e.text, help_text());
    }
  }
  EXPECT_EQ(help_text().substr(0, USAGE.size()), USAGE);
  for (const char* line : {"  --budget BUDGET, -b BUDGET\n"
                           "                        Token budget for the context pack (default: 5000)\n",
                           "  --verbose, -v         Print pack timing and token estimate to stderr\n"})
    EXPECT_NE(help_text().find(line), std::string::npos) << line;
  // An error before the help option wins.
  EXPECT_EQ(error_of({"-b", "x", "-h"}), "brc-claude: error: argument --budget/-b: invalid int value: 'x'\n");
}

// brc's two forms; anything else is a usage error naming what is wrong.
TEST(ParseBrcArgs, TwoFormsHelpAndUsageErrors) {
  struct Case {
    Words words;
    std::string parsed;  // "audit|root|fix json no_color" or the error message
  };
  const Case cases[] = {
      {{"."}, "project|.|"},
      {{"audit", "p"}, "audit|p|"},
      {{"audit", "--no-color", "p", "--json", "--fix"}, "audit|p|fix json no_color "},
      {{"--", "audit"}, "project|audit|"},
      {{"audit", "--", "-p"}, "audit|-p|"},
      {{"p", "audit"}, "unrecognized arguments: audit"},
      {{"p", "--fix"}, "unrecognized arguments: --fix"},
      {{"audit", "p", "q", "-x"}, "unrecognized arguments: q -x"},
      {{}, "the following arguments are required: project-root"},
      {{"audit", "--json"}, "the following arguments are required: project-root"},
  };
  for (const Case& c : cases) {
    std::string got;
    try {
      const BrcArgs a = parse_brc_args(c.words);
      got = std::string(a.audit ? "audit" : "project") + "|" + a.root + "|" + (a.fix ? "fix " : "") +
            (a.json ? "json " : "") + (a.no_color ? "no_color " : "");
    } catch (const ParseExit& e) {
      EXPECT_EQ(e.status, 2);
      EXPECT_EQ(e.text, "usage: brc <project-root>\n       brc audit <project-root> [--fix] [--json] [--no-color]\n"
                        "brc: error: " + e.message + "\n");
      got = e.message;
    }
    EXPECT_EQ(got, c.parsed) << testing::PrintToString(c.words);
  }
  for (const Words& w : {Words{"--help"}, Words{"audit", "p", "-h"}}) {
    try {
      parse_brc_args(w);
      ADD_FAILURE() << "parsed";
    } catch (const ParseExit& e) {
      EXPECT_EQ(e.status, 0);
      EXPECT_EQ(e.text, brc_help_text());
    }
  }
}

}  // namespace
}  // namespace kestrune::brc_claude
