#include <gtest/gtest.h>

#include "kestrune/edit_guard/attention.h"
#include "kestrune/edit_guard/edit_guard.h"

namespace kestrune::edit_guard {
namespace {

constexpr int64_t NOW = 1700000000;

TEST(Attention, ScoresDecayByHalfEveryHour) {
  std::vector<Action> acts = {
      {8, false, "now.py", NOW},       {8, false, "hour.py", NOW - 3600},
      {8, false, "two.py", NOW - 7200}, {8, false, "future.py", NOW + 999},
      {2, true, "reads.py", NOW},       {2, true, "reads.py", NOW},
      {2, true, "mixed.py", NOW},       {1, true, "mixed.py", NOW},
      {5, false, "epoch.py", 0},
  };
  std::vector<Attention> r = tally(acts, NOW);
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[0].score, 8.0);
  EXPECT_EQ(r[1].score, 4.0);
  EXPECT_EQ(r[2].score, 2.0);
  EXPECT_EQ(r[3].score, 8.0);
  EXPECT_EQ(r[3].last_ts, NOW + 999);
  EXPECT_EQ(r[4].score, 4.0);
  EXPECT_EQ(r[4].reads, 2);
  EXPECT_EQ(r[5].score, 3.0);
  EXPECT_EQ(r[6].score, 0.0);
  EXPECT_EQ(r[6].edits, 1);
  // Same figure as Python's 5 * 2 ** (-1234 / 3600).
  EXPECT_EQ(tally({{5, false, "f", NOW - 1234}}, NOW)[0].score, 3.9426081141121183);
}

TEST(Attention, StampsAtTheEdgesOfRange) {
  std::vector<Attention> r = tally({{8, false, "a", INT64_MIN}, {8, false, "b", INT64_MAX}}, NOW);
  EXPECT_EQ(r[0].score, 0.0);
  EXPECT_EQ(r[0].last_ts, 0);
  EXPECT_EQ(r[1].score, 8.0);
}

TEST(Attention, ParsesWeightedActionsInOrder) {
  auto acts = parse_actions(R"({"actions": [
      {"kind": "read", "payload": {"file": "a"}, "ts": 5},
      {"kind": "unknown", "payload": {"file": "b"}, "ts": 5},
      {"kind": "edit_observation", "payload": {"file": "c", "extra": [1]}, "ts": -2.7},
      {"kind": "read_cache_hit", "payload": {"file": ""}}]})");
  ASSERT_TRUE(acts);
  ASSERT_EQ(acts->size(), 2u);
  EXPECT_EQ((*acts)[0].file, "a");
  EXPECT_TRUE((*acts)[0].is_read);
  EXPECT_EQ((*acts)[1].weight, 5);
  EXPECT_FALSE((*acts)[1].is_read);
  EXPECT_EQ((*acts)[1].ts, -2);
  EXPECT_TRUE(parse_actions("{}"));
  EXPECT_FALSE(parse_actions(R"({"actions": [{"kind": "read", "ts": -Infinity}]})"));
  EXPECT_FALSE(parse_actions(R"({"actions": [{"kind": "read", "ts": {}}]})"));
}

}  // namespace
}  // namespace kestrune::edit_guard
