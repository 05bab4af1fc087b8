#include "kestrune/ctxpack/excerpt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune::ctxpack {
namespace {

std::vector<std::string> numbered(size_t n) {
  std::vector<std::string> out;
  for (size_t i = 0; i < n; ++i) out.push_back("line " + std::to_string(i + 1));
  return out;
}

std::vector<std::string_view> views(const std::vector<std::string>& v) {
  return {v.begin(), v.end()};
}

bool same(const Span& a, size_t first, size_t last) { return a.first == first && a.last == last; }

TEST(ChooseWindows, FocusThenNamedSymbolsThenHitsThenWholeSmallFile) {
  std::vector<std::string> text = numbered(40);
  text[30] = "const total = computeTax(order)";
  text[35] = "computeTax again, and order";
  std::vector<SymbolInfo> syms = {
      {"helper", "utility", {2, 4}, "helper"},
      {"computeTax", "use_case", {10, 14}, "computetax compute tax"},
      {"orderTax", "use_case", {20, 22}, "ordertax order tax"},
  };
  Span focus{5, 7};
  auto w = choose_windows(views(text), &focus, syms, {"tax", "order"});
  ASSERT_EQ(w.size(), 6u);
  EXPECT_TRUE(same(w[0], 5, 7));
  EXPECT_TRUE(same(w[1], 20, 22));  // both terms
  EXPECT_TRUE(same(w[2], 10, 14));  // one term
  EXPECT_TRUE(same(w[3], 28, 32));  // "tax" and "order" on line 31
  EXPECT_TRUE(same(w[4], 33, 37));
  EXPECT_TRUE(same(w[5], 0, 39));   // small file: all of it last
}

TEST(ChooseWindows, LargeFileEndsWithItsHeadAndLongBodiesAreCapped) {
  std::vector<std::string> text = numbered(500);
  Span focus{100, 400};
  auto w = choose_windows(views(text), &focus, {}, {});
  ASSERT_EQ(w.size(), 2u);
  EXPECT_TRUE(same(w[0], 100, 100 + MAX_SYMBOL_LINES - 1));
  EXPECT_TRUE(same(w[1], 0, HEAD_LINES - 1));
}

TEST(ChooseWindows, StaleSpansAreClippedOrDropped) {
  std::vector<std::string> text = numbered(10);
  std::vector<SymbolInfo> syms = {{"gone", "", {50, 60}, "gone"}, {"tail", "", {8, 30}, "tail"}};
  auto w = choose_windows(views(text), nullptr, syms, {"gone", "tail"});
  ASSERT_EQ(w.size(), 2u);
  EXPECT_TRUE(same(w[0], 8, 9));
  EXPECT_TRUE(same(w[1], 0, 9));
  EXPECT_TRUE(choose_windows({}, nullptr, syms, {"tail"}).empty());
}

TEST(RenderExcerpt, NumbersLinesMarksGapsAndFencesWithTheLanguage) {
  std::vector<std::string> text = numbered(12);
  text[10] = "trailing   \t";
  std::string block = render_excerpt(views(text), {{10, 11}, {0, 1}}, "ts", 10'000);
  EXPECT_EQ(block,
            "```ts\n"
            " 1| line 1\n"
            " 2| line 2\n"
            "⋮\n"
            "11| trailing\n"
            "12| line 12\n"
            "```");
  EXPECT_EQ(excerpt_size(views(text), {{10, 11}, {0, 1}}, "ts"), 58u);
}

TEST(RenderExcerpt, CutsTheWindowThatDoesNotFitAndStopsThere) {
  std::vector<std::string> text = numbered(9);  // each rendered line: "N| line N\n" = 10 chars
  // Fence: "```\n" + "```" = 7. Room for the first window (2 lines) and 2 lines of the second.
  std::string block = render_excerpt(views(text), {{0, 1}, {4, 8}, {2, 2}}, "", 7 + 20 + 2 + 20);
  EXPECT_EQ(block, "```\n1| line 1\n2| line 2\n⋮\n5| line 5\n6| line 6\n```");
  EXPECT_EQ(render_excerpt(views(text), {{0, 1}}, "", 16), "");
  EXPECT_EQ(render_excerpt(views(text), {{0, 1}}, "", 17), "```\n1| line 1\n```");
}

TEST(RenderExcerpt, LongLinesAreCutInCodePoints) {
  std::vector<std::string> text = {std::string(MAX_LINE_CHARS + 10, 'x'), "é" + std::string(5, 'y')};
  std::string block = render_excerpt(views(text), {{0, 1}}, "", 100'000);
  EXPECT_EQ(block, "```\n1| " + std::string(MAX_LINE_CHARS, 'x') + "…\n2| éyyyyy\n```");
  EXPECT_EQ(excerpt_size(views(text), {{0, 1}}, ""), 7u + 3 + MAX_LINE_CHARS + 2 + 3 + 6 + 1);
}

}  // namespace
}  // namespace kestrune::ctxpack
