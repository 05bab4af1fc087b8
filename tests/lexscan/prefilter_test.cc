// The hand-written matchers and gates against the patterns they stand for,
// over many generated texts.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kestrune::lexscan
