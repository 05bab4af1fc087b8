// Expected texts and values are what Python 3.11's argparse gives for the same
// parsers and words.
#include "kestrune/base/args.h"

#include <gtest/gtest.h>

#include <climits>

namespace kestrune::args {
namespace {

using Words = std::vector<std::string>;

Parser tool() {
  Parser p("tool", "Does things to files, one after another, in the order given on the command line.");
  p.words("files", "Files to work on")
      .text({"--output-directory", "-o"}, ".",
            "Where results go (default: the current directory, created when missing)")
      .integer({"--jobs", "-j"}, 1, "Parallel jobs")
      .flag({"--dry-run", "-n"},
            "Show the plan, change nothing; a very-long-hyphenated-word-that-needs-cutting-somewhere-in-the-middle")
      .flag({"--drop"})
      .required_text({"--name"});
  return p;
}

const std::string kToolUsage =
    "usage: tool [-h] [--output-directory OUTPUT_DIRECTORY] [--jobs JOBS]\n"
    "            [--dry-run] [--drop] --name NAME\n"
    "            [files ...]\n";

Parser vcs() {
  Parser p("vcs");
  p.flag({"--verbose"});
  p.command("cmd", "commit", "Record changes").required_text({"--message", "-m"}).flag({"--amend"});
  p.command("cmd", "remote", "Manage remotes")
      .command("remote_cmd", "add", "Add a remote named like the project it points at")
      .text({"--name"}, "origin", "Remote name")
      .integer({"--depth"}, 0);
  return p;
}

// The status and text of the Exit a parse ends with.
std::pair<int, std::string> exit_of(const Parser& p, const Words& w) {
  try {
    p.parse(w);
  } catch (const Exit& e) {
    return {e.status, e.text};
  }
  return {-1, "parsed"};
}

std::string error_of(const Parser& p, const Words& w) {
  auto [status, text] = exit_of(p, w);
  EXPECT_EQ(status, 2) << text;
  return text.substr(text.find("\n" + p.prog()) + 1);
}

TEST(Args, OptionsValuesAndPositionalRuns) {
  const Parser p = tool();
  Result r = p.parse({"--name", "x", "-nj3", "a", "--", "-b"});
  EXPECT_EQ(r.words("files"), (Words{"a", "-b"}));
  EXPECT_EQ(r.text("output_directory"), ".");
  EXPECT_EQ(r.integer("jobs"), 3);
  EXPECT_TRUE(r.flag("dry_run"));
  EXPECT_FALSE(r.flag("drop"));
  EXPECT_EQ(r.text("name"), "x");

  EXPECT_EQ(p.parse({"--jobs", "\u0663", "--name", "n"}).integer("jobs"), 3);  // Arabic-Indic three
  EXPECT_EQ(p.parse({"-j", " -1_0 ", "--name", "n"}).integer("jobs"), -10);
  EXPECT_EQ(p.parse({"-j", "99999999999999999999", "--name", "n"}).integer("jobs"), LLONG_MAX);
  EXPECT_EQ(p.parse({"-o-x", "--name", "n"}).text("output_directory"), "-x");
  EXPECT_EQ(p.parse({"--out=a=b", "--name", "-5"}).text("output_directory"), "a=b");
  EXPECT_EQ(p.parse({"--name", "n", "--", "--", "a"}).words("files"), (Words{"--", "a"}));
  EXPECT_THROW(r.integer("name"), std::logic_error);
  EXPECT_THROW(r.flag("nothing"), std::logic_error);

  Parser audit("audit");
  audit.text({"--out"}, std::nullopt);
  EXPECT_EQ(audit.parse({}).optional_text("out"), std::nullopt);
  EXPECT_EQ(audit.parse({"--out="}).optional_text("out"), "");
}

TEST(Args, UsageErrors) {
  const Parser p = tool();
  EXPECT_EQ(exit_of(p, {"--d"}),
            std::pair(2, kToolUsage + "tool: error: ambiguous option: --d could match --dry-run, --drop\n"));
  EXPECT_EQ(error_of(p, {"--na=y", "a", "-j", "-2", "b"}), "tool: error: unrecognized arguments: b\n");
  EXPECT_EQ(error_of(p, {"--name"}), "tool: error: argument --name: expected one argument\n");
  EXPECT_EQ(error_of(p, {"-o"}), "tool: error: argument --output-directory/-o: expected one argument\n");
  EXPECT_EQ(error_of(p, {"-j", "1.5"}), "tool: error: argument --jobs/-j: invalid int value: '1.5'\n");
  EXPECT_EQ(error_of(p, {"-j", "1__0"}), "tool: error: argument --jobs/-j: invalid int value: '1__0'\n");
  EXPECT_EQ(error_of(p, {"-j", std::string(4301, '1')}).size(), 4356u);  // beyond Python's digit limit
  EXPECT_EQ(error_of(p, {"-nx"}), "tool: error: argument --dry-run/-n: ignored explicit argument 'x'\n");
  EXPECT_EQ(error_of(p, {"--drop=it's"}),
            "tool: error: argument --drop: ignored explicit argument \"it's\"\n");
  EXPECT_EQ(error_of(p, {"--bogus", "-x", "a"}),
            "tool: error: the following arguments are required: --name\n");
  EXPECT_EQ(error_of(p, {"--name", "n", "--bogus", "-x", "a b", "-c d"}),
            "tool: error: unrecognized arguments: --bogus -x\n");
  // An argument that is not UTF-8 shows as Python's standard error shows it.
  EXPECT_EQ(error_of(p, {"--name", "n", "a", "--x\xff"}), "tool: error: unrecognized arguments: --x\\udcff\n");
  EXPECT_EQ(error_of(p, {"--name", "n", "-j", "1\xff"}),
            "tool: error: argument --jobs/-j: invalid int value: '1\\udcff'\n");
  EXPECT_EQ(error_of(p, {"--name", "n", "--drop=\xff"}),
            "tool: error: argument --drop: ignored explicit argument '\\udcff'\n");
  // An error before the help option wins; help after it is never reached.
  EXPECT_EQ(error_of(p, {"-j", "x", "-h"}), "tool: error: argument --jobs/-j: invalid int value: 'x'\n");
}

TEST(Args, HelpIsFormattedForEightyColumns) {
  const Parser p = tool();
  const std::string help =
      kToolUsage +
      "\n"
      "Does things to files, one after another, in the order given on the command\n"
      "line.\n"
      "\n"
      "positional arguments:\n"
      "  files                 Files to work on\n"
      "\n"
      "options:\n"
      "  -h, --help            show this help message and exit\n"
      "  --output-directory OUTPUT_DIRECTORY, -o OUTPUT_DIRECTORY\n"
      "                        Where results go (default: the current directory,\n"
      "                        created when missing)\n"
      "  --jobs JOBS, -j JOBS  Parallel jobs\n"
      "  --dry-run, -n         Show the plan, change nothing; a very-long-hyphenated-\n"
      "                        word-that-needs-cutting-somewhere-in-the-middle\n"
      "  --drop\n"
      "  --name NAME\n";
  EXPECT_EQ(p.help(), help);
  EXPECT_EQ(p.usage(), kToolUsage);
  EXPECT_EQ(exit_of(p, {"a", "--he"}), std::pair(0, help));
  EXPECT_EQ(exit_of(p, {"-nh"}), std::pair(0, help));
  EXPECT_EQ(error_of(p, {"-hx"}), "tool: error: argument -h/--help: ignored explicit argument 'x'\n");
}

TEST(Args, SubCommands) {
  const Parser p = vcs();
  Result r = p.parse({"--verbose", "remote", "add", "--dep=5"});
  EXPECT_TRUE(r.flag("verbose"));
  EXPECT_EQ(r.text("cmd"), "remote");
  EXPECT_EQ(r.text("remote_cmd"), "add");
  EXPECT_EQ(r.integer("depth"), 5);
  EXPECT_EQ(r.text("name"), "origin");
  EXPECT_FALSE(r.has("message"));
  EXPECT_EQ(p.parse({"commit", "-mfix"}).text("message"), "fix");

  // Errors are the sub-command's own, leftovers are reported by the program.
  const std::string usage = "usage: vcs [-h] [--verbose] {commit,remote} ...\n";
  EXPECT_EQ(exit_of(p, {"commit"}), std::pair(2, std::string("usage: vcs commit [-h] --message MESSAGE [--amend]\n"
                                                             "vcs commit: error: the following arguments are "
                                                             "required: --message/-m\n")));
  EXPECT_EQ(exit_of(p, {"remote", "drop"}), std::pair(2, std::string("usage: vcs remote [-h] {add} ...\n"
                                                                     "vcs remote: error: argument remote_cmd: "
                                                                     "invalid choice: 'drop' (choose from 'add')\n")));
  EXPECT_EQ(error_of(p, {"remote"}), "vcs remote: error: the following arguments are required: remote_cmd\n");
  EXPECT_EQ(exit_of(p, {"--bogus", "commit", "-m", "x", "y"}),
            std::pair(2, usage + "vcs: error: unrecognized arguments: --bogus y\n"));
  EXPECT_EQ(error_of(p, {"--verbose", "remote", "add", "x", "--am"}), "vcs: error: unrecognized arguments: x --am\n");
  EXPECT_EQ(error_of(p, {"commit", "-m", "x", "--verbose"}), "vcs: error: unrecognized arguments: --verbose\n");
  EXPECT_EQ(error_of(p, {"--", "commit"}),
            "vcs: error: argument cmd: invalid choice: '--' (choose from 'commit', 'remote')\n");
  EXPECT_EQ(error_of(p, {}), "vcs: error: the following arguments are required: cmd\n");

  EXPECT_EQ(p.help(), usage +
                          "\n"
                          "positional arguments:\n"
                          "  {commit,remote}\n"
                          "    commit         Record changes\n"
                          "    remote         Manage remotes\n"
                          "\n"
                          "options:\n"
                          "  -h, --help       show this help message and exit\n"
                          "  --verbose\n");
  EXPECT_EQ(exit_of(p, {"remote", "-h"}),
            std::pair(0, std::string("usage: vcs remote [-h] {add} ...\n"
                                     "\n"
                                     "positional arguments:\n"
                                     "  {add}\n"
                                     "    add       Add a remote named like the project it points at\n"
                                     "\n"
                                     "options:\n"
                                     "  -h, --help  show this help message and exit\n")));
  EXPECT_EQ(exit_of(p, {"remote", "add", "--h"}),
            std::pair(0, std::string("usage: vcs remote add [-h] [--name NAME] [--depth DEPTH]\n"
                                     "\n"
                                     "options:\n"
                                     "  -h, --help     show this help message and exit\n"
                                     "  --name NAME    Remote name\n"
                                     "  --depth DEPTH\n")));
}

TEST(Args, MisuseOfTheBuilderIsAProgrammingError) {
  Parser p("x");
  EXPECT_THROW(p.flag({"--help"}), std::logic_error);
  EXPECT_THROW(p.flag({"name"}), std::logic_error);
  p.words("a");
  EXPECT_THROW(p.words("b"), std::logic_error);
  Parser q("y");
  q.command("cmd", "one", "");
  EXPECT_THROW(q.command("other", "two", ""), std::logic_error);
}

}  // namespace
}  // namespace kestrune::args
