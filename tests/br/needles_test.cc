#include "kestrune/br/needles.h"

#include <gtest/gtest.h>

#include <random>

#include "kestrune/br/id_map.h"
#include "kestrune/br/score.h"

namespace kestrune::br {
namespace {

TEST(TermCounter, CountsLikeOneSearchPerTerm) {
  EXPECT_EQ(TermCounter({"order", "card", "or"}).count("src/orders/card.tsx"), 3);
  EXPECT_EQ(TermCounter({"order", "order"}).count("orders"), 2);  // each listed term counts
  EXPECT_EQ(TermCounter({"", "x"}).count(""), 1);                 // "" occurs in every text
  EXPECT_EQ(TermCounter(std::vector<std::string>{}).count("anything"), 0);
  EXPECT_EQ(TermCounter({"caf\xC3\xA9", "\xC3\xA9t"}).count("un caf\xC3\xA9t"), 2);

  // Random terms over a small alphabet, so that prefixes and overlaps are common,
  // and term lists past the 64 counted in one pass.
  std::mt19937 rng(11);
  auto word = [&](size_t max_len) {
    std::string w(rng() % (max_len + 1), ' ');
    for (char& c : w) c = "abc/\xC3"[rng() % 5];
    return w;
  };
  for (int round = 0; round < 400; ++round) {
    std::vector<std::string> terms(rng() % (round % 10 == 0 ? 90 : 8));
    for (auto& t : terms) t = word(4);
    TermCounter counter(terms);
    for (int i = 0; i < 20; ++i) {
      std::string text = word(40);
      ASSERT_EQ(counter.count(text), count_terms(text, terms)) << text;
    }
  }
}

TEST(IdMap, FindsEveryKeyAcrossGrowth) {
  std::vector<std::string> keys;
  for (int i = 0; i < 5000; ++i) keys.push_back("node/" + std::to_string(i * 7919 % 10007));
  IdMap<int> map;
  for (size_t i = 0; i < keys.size(); ++i) map[keys[i]] += static_cast<int>(i);
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_NE(map.find(keys[i]), nullptr);
    EXPECT_EQ(*map.find(keys[i]), static_cast<int>(i));
  }
  EXPECT_EQ(map.find("node/"), nullptr);
  EXPECT_EQ(map.find(""), nullptr);
  map[""] = 4;
  EXPECT_EQ(*map.find(""), 4);
}

}  // namespace
}  // namespace kestrune::br
