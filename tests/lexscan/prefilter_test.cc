// The hand-written matchers and gates against the patterns they stand for,
// over many generated texts.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kestrune/base/regex.h"
#include "kestrune/lexscan/prefilter.h"
#include "kestrune/lexscan/relations.h"

namespace kestrune::lexscan {
namespace {

// `count` texts of up to `max_pieces` pieces drawn from `pieces`, the same on every run.
std::vector<std::string> texts(const std::vector<std::string>& pieces, int count, int max_pieces) {
  std::mt19937 rng(12345);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    std::string s;
    int n = std::uniform_int_distribution<int>(0, max_pieces)(rng);
    for (int k = 0; k < n; ++k) s += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)];
    out.push_back(std::move(s));
  }
  return out;
}

TEST(Prefilter, FindLiteralFindsWhatFindFinds) {
  const std::vector<std::string> pieces = {"im", "port", "p", "from", "f", "r", "require(", "(", "/", "class", "é", " "};
  for (const std::string& s : texts(pieces, 3000, 12))
    for (std::string_view lit : {"import", "from", "require(", "/", "class", "pp", "é", "", "mport("})
      for (size_t from : {size_t{0}, size_t{1}, size_t{5}, s.size(), s.size() + 1})
        ASSERT_EQ(find_literal(s, lit, from), from <= s.size() ? std::string_view(s).find(lit, from) : std::string_view::npos)
            << s << " / " << lit << " / " << from;
}

TEST(Prefilter, FileMentionsMatchThePattern) {
  const re::Regex mention(R"(([A-Za-z0-9_\-\/]+\.(go|py|ts|tsx|js|jsx|swift|md|json|yaml|yml)))");
  const std::vector<std::string> pieces = {"a", "Z", "9", "_", "-", "/", ".", ".", "g", "o", "p", "y", "t", "s",
                                           "x", "j", "n", "m", "d", "w", "i", "f", "l", "a", "e", " ", "é", "\n",
                                           "ts", "json", "yaml", "swift", "src/", ".md"};
  size_t found = 0;
  for (const std::string& s : texts(pieces, 20000, 30)) {
    std::vector<std::string_view> expected;
    mention.finditer(s, [&](const re::Match& m) {
      expected.push_back(m.group(1));
      return true;
    });
    ASSERT_EQ(file_mentions(s), expected) << s;
    found += expected.size();
  }
  EXPECT_GT(found, 5000u);
  EXPECT_EQ(file_mentions("a.tsx.py b/c.json x.yml."),
            (std::vector<std::string_view>{"a.ts", "x.py", "b/c.js", "x.yml"}));
}

using Slots = std::vector<std::vector<std::string>>;

// Texts shaped like a pattern's matches: one choice per slot, each slot now and
// then left out or given another slot's choice, amid noise.
std::vector<std::string> near_matches(const Slots& slots, int count) {
  std::mt19937 rng(6789);
  std::vector<std::string> noise = {"x", " ", "(", "\n", "é", "'"};
  for (const auto& slot : slots) noise.insert(noise.end(), slot.begin(), slot.end());
  auto pick = [&](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
  };
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    std::string s;
    for (int k = std::uniform_int_distribution<int>(0, 3)(rng); k > 0; --k) s += pick(noise);
    for (const auto& slot : slots) {
      const int roll = std::uniform_int_distribution<int>(0, 9)(rng);
      if (roll == 0) continue;
      s += roll == 1 ? pick(noise) : pick(slot);
    }
    for (int k = std::uniform_int_distribution<int>(0, 2)(rng); k > 0; --k) s += pick(noise);
    out.push_back(std::move(s));
  }
  return out;
}

// Every text the pattern matches passes the gate; most that it does not match fail it.
void expect_gate(const re::Regex& pattern, bool (*gate)(std::string_view), const Slots& slots) {
  size_t matched = 0, passed_unmatched = 0;
  const auto all = near_matches(slots, 30000);
  for (const std::string& s : all) {
    const bool match = pattern.search(s).has_value();
    const bool pass = gate(s);
    if (match) {
      ASSERT_TRUE(pass) << s;
      ++matched;
    } else {
      passed_unmatched += pass;
    }
  }
  EXPECT_GT(matched, 500u);
  EXPECT_LT(passed_unmatched, (all.size() - matched) / 2);
}

const std::vector<std::string> kSpace = {"", "", " ", "\t", "\n ", "\xc2\xa0", "\xe2\x80\x83", "\x1c"};
const std::vector<std::string> kQuote = {"'", "\"", "/", "`"};

TEST(Prefilter, RouteCallGate) {
  const re::Regex route(
      R"re((?:app|router|r|mux|api)\s*[.\@]\s*(get|post|put|delete|patch|handle|handlefunc)\s*\(\s*['"/]([^'")\s]+))re",
      re::I);
  expect_gate(
      route,
      [](std::string_view s) {
        return literal_call(s, "'\"/", {"get", "post", "put", "delete", "patch", "handle", "handlefunc"}, ".@");
      },
      {{"app", "Router", "r", "MUX", "api", "x"},
       kSpace,
       {".", "@", ":"},
       kSpace,
       {"get", "GeT", "post", "po\xc5\xbft", "PUT", "delete", "patch", "handle", "HandleFunc", "func", "gets"},
       kSpace,
       {"(", "(", "["},
       kSpace,
       kQuote,
       {"users/{id}", "x", ")", " "}});
}

TEST(Prefilter, HttpCallGate) {
  const re::Regex http(
      R"re((?:fetch|axios\.(?:get|post|put|delete)|requests\.(?:get|post|put|delete))\s*\(\s*[`'"](https?://[^`'"]+|/[^`'"]+)[`'"])re",
      re::I);
  expect_gate(
      http,
      [](std::string_view s) { return literal_call(s, "`'\"", {"fetch", ".get", ".post", ".put", ".delete"}); },
      {{"fetch", "FETCH", "axios.", "reque\xc5\xbfts.", "requests.", "x.", "axios"},
       {"", "", "", "get", "Post", "PUT", "delete", "patch"},
       kSpace,
       {"(", "(", "["},
       kSpace,
       kQuote,
       {"http://a.b/c", "HTTPS://x", "/api/v1", "x"},
       kQuote});
}

// Every match, with its groups, as "start-end:group|group|...".
std::vector<std::string> all_matches(const std::function<void(const std::function<bool(const re::Match&)>&)>& run) {
  std::vector<std::string> out;
  run([&](const re::Match& m) {
    std::string s = std::to_string(m.start()) + "-" + std::to_string(m.end()) + ":";
    for (int g = 1; g <= m.groups(); ++g) s.append(m.group(g)).append(m.matched(g) ? "|" : "~");
    out.push_back(std::move(s));
    return true;
  });
  return out;
}

void expect_same_matches(const re::Regex& pattern, std::initializer_list<std::string_view> literals,
                         size_t (*earliest)(std::string_view, size_t), const Slots& slots) {
  size_t found = 0;
  for (const std::string& s : near_matches(slots, 20000)) {
    auto expected = all_matches([&](const auto& f) { pattern.finditer(s, f); });
    ASSERT_EQ(all_matches([&](const auto& f) { finditer_near(pattern, s, literals, earliest, f); }), expected) << s;
    found += expected.size();
  }
  EXPECT_GT(found, 200u);
}

const std::vector<std::string> kBreak = {"", "\n", "\n\n", " \n", "x", "\xe2\x80\xa8", ";"};

TEST(Prefilter, MatchesNearLiteralsAreTheMatches) {
  expect_same_matches(re::Regex(R"(^\s*import\s+([a-zA-Z0-9_\.]+))", re::M), {"import"}, after_space,
                      {kBreak, kSpace, {"import", "imports", "mport", "import\n"}, kSpace, {"os.path", "x", "", "é"},
                       kBreak, kSpace, {"import", "from"}, kSpace, {"a", "b.c"}});
  expect_same_matches(re::Regex(R"(^\s*from\s+([a-zA-Z0-9_\.]+)\s+import\s+)", re::M), {"from"}, after_space,
                      {kBreak, kSpace, {"from", "fromage", "import"}, kSpace, {"a.b", "", "x"}, kSpace,
                       {"import", "from", "imp"}, kSpace, {"y", ""}, kBreak, kSpace, {"from"}, kSpace, {"c"}});
  expect_same_matches(
      re::Regex(R"((?:export\s+)?(?:async\s+)?function\s+([A-Za-z_]\w*)|(?:export\s+)?class\s+([A-Za-z_]\w*))",
                re::M),
      {"function", "class"}, script_declaration_start,
      {kBreak, {"export", "exports", "", "xexport"}, kSpace, {"async", "", "async\xc2\xa0"}, kSpace,
       {"function", "class", "subclass", "functions", "async"}, kSpace, {"f", "_g1", "1", "é"}, kBreak,
       {"class", "function"}, kSpace, {"K", ""}});
  expect_same_matches(re::Regex(R"((?:class|interface|enum|struct|record)\s+([A-Za-z_]\w*))"),
                      {"class", "interface", "enum", "struct", "record"}, at_literal,
                      {kBreak, {"public", "", "sealed"}, kSpace, {"class", "interface", "enum", "struct", "record",
                       "enumerate", "subclass", "records"}, kSpace, {"A", "b_", "", "9"}, kBreak,
                       {"class", "struct"}, kSpace, {"C", ""}});
  const std::initializer_list<std::string_view> access = {"public", "private", "protected", "internal"};
  const Slots cs = {kBreak, {"public", "private", "protected", "internal", "publicly", "x"}, kSpace,
                    {"static", "abstract", "", "async", "override", "new"}, kSpace,
                    {"class", "record", "enum", "void", "Task<int>", "if", "int[]"}, kSpace, {"A", "Run", "", "9"},
                    kSpace, {"(", "{", ""}, kBreak, {"internal", "public"}, kSpace, {"class", "int"}, kSpace,
                    {"B", "f"}, {"(", ""}};
  expect_same_matches(
      re::Regex(R"((?:public|internal|private|protected)\s+(?:(?:static|abstract|sealed|partial|new|override|virtual|extern|unsafe)\s+)*(?:class|interface|enum|struct|record)\s+([A-Za-z_]\w*))"),
      access, at_literal, cs);
  expect_same_matches(
      re::Regex(R"((?:public|private|protected|internal)\s+(?:static\s+)?(?:async\s+)?(?:virtual\s+|override\s+)?(?!class\b|if\b|for\b|while\b|return\b|new\b)[\w<>\[\]?]+\s+([A-Za-z_]\w*)\s*\()"),
      access, at_literal, cs);
}

}  // namespace
}  // namespace kestrune::lexscan
