#include <gtest/gtest.h>

#include <random>
#include <string>

#include "kestrune/base/attention.h"
#include "kestrune/base/json.h"

namespace kestrune::attention {
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
  std::vector<Record> r = tally(acts, NOW);
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
  std::vector<Record> r = tally({{8, false, "a", INT64_MIN}, {8, false, "b", INT64_MAX}}, NOW);
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

// A writer's layout of `doc` exists exactly when readers take the file, and
// holds the document's members and actions, as written or written again.
void expect_layout(std::string_view doc) {
  auto same = [](std::string_view text) { return json::dumps(json::parse(text)); };  // NaN included
  std::optional<Layout> l = read_layout(doc);
  ASSERT_EQ(l.has_value(), read_actions(doc).has_value()) << doc;
  if (!l) return;
  const json::Value d = json::parse(doc);
  ASSERT_EQ(l->members.size(), d.as_object().size()) << doc;
  for (size_t i = 0; i < l->members.size(); ++i) {
    const json::Member& m = d.as_object().members()[i];
    EXPECT_EQ(json::parse(l->view(l->members[i].name)).as_string(), m.key) << doc;
    if (l->actions != i) {
      EXPECT_EQ(same(l->view(l->members[i].value)), json::dumps(m.value)) << doc;
    }
  }
  const json::Value* acts = d.find("actions");
  EXPECT_EQ(l->actions.has_value(), acts != nullptr) << doc;
  ASSERT_EQ(l->entries.size(), acts ? acts->as_array().size() : 0) << doc;
  for (size_t i = 0; i < l->entries.size(); ++i) {
    const json::Value& a = acts->as_array()[i];
    EXPECT_EQ(same(l->view(l->entries[i].text)), json::dumps(a)) << doc;
    const json::Value* ts = a.find("ts");
    if (ts && ts->is_int()) {
      EXPECT_EQ(l->entries[i].ts, ts->as_int()) << doc;
    }
  }
}

// The one-pass scanner must give the document reader's answer whenever it
// gives one, and give one for what writers produce.
void expect_same(std::string_view doc, bool scanner_decides) {
  expect_layout(doc);
  std::vector<Action> scanned;
  bool decided = scan_actions(doc, scanned);
  std::optional<std::vector<Action>> read = read_actions(doc);
  if (decided) {
    EXPECT_TRUE(read && *read == scanned) << doc;
  }
  EXPECT_EQ(decided, scanner_decides) << doc;
  EXPECT_EQ(parse_actions(doc), read) << doc;
}

TEST(Attention, ScannerReadsWhatTheDocumentSays) {
  for (std::string_view doc : {
           R"({"version": 1, "actions": [{"kind": "read", "payload": {"file": "a", "tool": "x"}, "ts": 5, "s": "s1"}]})",
           R"( {"actions":[]} )",
           "{}",
           "{\n\t\"actions\" :\r\n [ { } ] }",
           // the last of repeated names counts, at every level
           R"({"actions": [{"kind": "read", "payload": {"file": "a"}}], "actions": [{"kind": "read", "payload": {"file": "b"}}]})",
           R"({"actions": [{"kind": "read", "kind": "nope", "payload": {"file": "a"}}]})",
           R"({"actions": [{"kind": 7, "kind": "read", "payload": {"file": "a", "file": "b"}, "ts": 1, "ts": null}]})",
           R"({"actions": [{"kind": "read", "payload": {"file": "a"}, "payload": null}]})",
           R"({"actions": [{"kind": "read", "payload": {"file": "a"}, "payload": {"other": 1}}]})",
           R"({"actions": [{"kind": "read", "payload": {"file": ["a"]}}, {"kind": "read", "payload": {"file": ""}}]})",
           // stamps: integers, floats truncated toward zero, exponents
           R"({"actions": [{"kind": "read_cache_hit", "payload": {"file": "a"}, "ts": -0}, {"kind": "read", "payload": {"file": "b"}, "ts": -2.7},
                           {"kind": "register_edit", "payload": {"file": "c"}, "ts": 17e8}, {"kind": "read", "payload": {"file": "d"}, "ts": 1.5E+3},
                           {"kind": "read", "payload": {"file": "e"}, "ts": 9223372036854775807}]})",
           // the writers' own form, read without the general scanner, and near misses of it
           R"({"actions": [{"kind": "read", "payload": {"file": "a", "tool": "Read", "session": "s"}, "ts": 1700000000},
{"kind": "edit", "payload": {"file": "b", "tool": "Edit", "session": ""}, "ts": null},
{"kind": "read", "payload": {"file": "c", "tool": "Read", "session": "s"}, "ts": 17e8},
{"kind": "read", "payload": {"file": "d", "tool": "Read", "session": "s", "x": 1}, "ts": 5},
{"kind": "read", "payload": {"file": "e", "tool": "R\u0065ad", "session": "s"}, "ts": 5}, {"kind": "read", "payload": {"file": "f", "tool": "Read", "session": "s"}, "ts": 5, "ts": 6}]})",
           // whatever else the file holds is checked, not read
           R"({"meta": {"a": [1, -2.5e-3, true, false, null, NaN, -Infinity, Infinity, "\u00e9\n\"", {"\\k": {}}, []]},
               "actions": [{"kind": "edit_observation", "payload": {"file": "src/é.py", "n": [[[]]]}, "extra": "\ud800"}]})",
       })
    expect_same(doc, true);

  for (std::string_view doc : {
           // escapes in a name or a string that is read
           R"({"\u0061ctions": [{"kind": "read", "payload": {"file": "a"}}]})",
           R"({"actions": [{"kind": "re\u0061d", "payload": {"file": "a"}}]})",
           R"({"actions": [{"kind": "read", "payload": {"file": "a\/b"}}]})",
           // stamps the guard refuses or cannot hold in 64 bits
           R"({"actions": [{"kind": "read", "payload": {"file": "a"}, "ts": 9223372036854775808}]})",
           R"({"actions": [{"kind": "read", "payload": {"file": "a"}, "ts": 1e300}]})",
           R"({"actions": [{"kind": "read", "payload": {"file": "a"}, "ts": 1e-400}]})",
           R"({"actions": [{"kind": "read", "payload": {"file": "a"}, "ts": NaN}]})",
           R"({"actions": [{"kind": "read", "payload": {"file": "a"}, "ts": "5"}]})",
           R"({"actions": [{"kind": "read", "payload": {"file": "a"}, "ts": true}]})",
           // shapes
           R"([])", R"({"actions": null})", R"({"actions": [1]})", R"({"actions": [{"payload": []}]})",
           // not JSON
           "", "{", R"({"actions": []} x)", R"({"actions": [],})", R"({"actions": [{"ts": 01}]})",
           R"({"actions": [{"ts": 1.}]})", R"({"actions": [{"ts": -}]})", R"({"a": "\x"})", "{\"a\": \"\t\"}",
           R"({"a": "\u12"})", R"({"a": nul})", R"({'a': 1})", "\xEF\xBB\xBF{}", "{\"a\": \"\xFF\"}",
           // deeper than the scanner goes
           R"({"a": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]})",
       })
    expect_same(doc, false);
}

TEST(Attention, ScannerAgreesWithTheDocumentReaderOnMutatedFiles) {
  const std::string seed =
      R"({"version": 1, "actions": [{"kind": "read", "payload": {"file": "src/a.py", "tool": "x"}, "ts": 1700000000, "s": "s1"},)"
      R"( {"kind": "register_edit", "payload": {"file": "src/b.py"}, "ts": 1699999999.5}, {"kind": "tool_call", "payload": null},)"
      R"( {"kind": "edit_observation", "payload": {"file": "/abs/c.py", "n": [1, -2e3, true, null]}, "ts": null},)"
      R"( {"kind": "read", "payload": {"file": "src/d.py", "tool": "Read", "session": "s"}, "ts": 1700000001}]})";
  const std::string_view pieces[] = {"{", "}", "[", "]", "\"", ":", ",", " ", "\\", "\\u0041", "-", "0", "1", ".",
                                     "e", "+", "null", "true", "NaN", "-Infinity", "\"ts\": ", "\"kind\": \"read\"",
                                     "\"payload\": ", "\"file\": \"x/y\"", "\"actions\": ", "\n", "\x01", "\xC3\xA9"};
  std::mt19937 rng(20240601);
  int decided = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string doc = seed;
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
      size_t at = rng() % (doc.size() + 1);
      size_t cut = rng() % 3 == 0 ? std::min<size_t>(rng() % 8, doc.size() - std::min(at, doc.size())) : 0;
      std::string_view piece = rng() % 4 == 0 ? std::string_view{} : pieces[rng() % std::size(pieces)];
      doc.replace(std::min(at, doc.size()), cut, piece);
    }
    if (round % 8 == 0) expect_layout(doc);
    std::vector<Action> scanned;
    if (!scan_actions(doc, scanned)) continue;
    ++decided;
    std::optional<std::vector<Action>> read = read_actions(doc);
    ASSERT_TRUE(read && *read == scanned) << doc;
  }
  EXPECT_GT(decided, 1000);  // the mutations reach the scanner's own answers
}

}  // namespace
}  // namespace kestrune::attention
