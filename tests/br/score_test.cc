#include "kestrune/br/score.h"

#include <gtest/gtest.h>

#include "kestrune/br/capability.h"

namespace kestrune::br {
namespace {

json::Value node(std::string_view text) { return json::parse(text); }

TEST(ScoreNode, WorkedExample) {
  const std::string q = "GET /api/orders returns 500";
  const auto terms = tokenize_query(q);
  ASSERT_EQ(terms, (std::vector<std::string>{"get", "orders", "returns", "500"}));
  EXPECT_EQ(score_node(node(R"({"id": "src/api/orders.ts", "kind": "file", "ext": ".ts",
      "keywords": ["orders", "order", "route"], "summary": "Order API routes"})"), terms, q), 19);
  EXPECT_EQ(score_node(node(R"({"id": "src/api/orders.ts::listOrders", "kind": "symbol",
      "ext": ".ts", "keywords": ["list", "orders"], "confidence": "high"})"), terms, q), 24);
  EXPECT_EQ(score_node(node(R"({"id": "docs/orders.md", "ext": ".md", "keywords": ["orders"]})"),
                       terms, q), 2);
}

TEST(ScoreNode, RouteMethodAndCaseRules) {
  // The method counts only when it occurs in the keywords as written.
  const std::string q = "POST /api/carts";
  auto terms = tokenize_query(q);
  long long with = score_node(node(R"({"id": "x/cart.go", "ext": ".go", "keywords": ["post", "carts"]})"), terms, q);
  long long without = score_node(node(R"({"id": "x/cart.go", "ext": ".go", "keywords": ["POST", "carts"]})"), terms, q);
  // "post" scores as a term in both (keyword text is lower-cased for terms) but only
  // the lower-case keyword carries the route method bonus of 3.
  EXPECT_EQ(with - without, 3);
  // Extensions compare lower-cased in scoring: ".MD" is docs there.
  EXPECT_EQ(score_node(node(R"({"id": "a.MD", "ext": ".MD"})"), {}, "explain"),
            score_node(node(R"({"id": "a.md", "ext": ".md"})"), {}, "explain"));
}

TEST(ScoreNode, UiAndFeatureVocabulary) {
  const std::string q = "make the button show payment status";
  auto terms = tokenize_query(q);
  // General intent: ui_surface 2, .tsx 4, features dir 2, payment query on an order path 3,
  // ui word on a ui_surface 4, "card" 3, button with status on a card 4.
  EXPECT_EQ(score_node(node(R"({"id": "src/components/features/OrderCard.tsx", "ext": ".tsx"})"), terms, q),
            2 + 4 + 2 + 3 + 4 + 3 + 4);
  // Shared UI kit in a feature-scoped query loses 1 and 2 more.
  const std::string q2 = "style the checkout button";
  EXPECT_EQ(score_node(node(R"({"id": "src/components/ui/button.tsx", "ext": ".tsx"})"),
                       tokenize_query(q2), q2),
            3 /*button*/ + 0 /*general shared_ui*/ + 4 - 1 - 2);
  const std::string q3 = "style the shared checkout button";
  EXPECT_EQ(score_node(node(R"({"id": "src/components/ui/button.tsx", "ext": ".tsx"})"),
                       tokenize_query(q3), q3),
            3 + 0 + 4 - 1);
  // Dependencies are pushed down.
  EXPECT_EQ(score_node(node(R"({"id": "web/node_modules/x/index.js", "ext": ".js"})"), {}, ""),
            1 + 4 - 10);
}

TEST(ScoreNode, FieldTypes) {
  // A null id reads as "None"; null keywords and summary count as absent.
  EXPECT_EQ(score_node(node(R"({"id": null, "keywords": null, "summary": null})"), {"none"}, ""), 3 + 1);
  EXPECT_THROW(score_node(node(R"({"id": "a", "keywords": "abc"})"), {}, ""), TypeError);
  EXPECT_THROW(score_node(node(R"({"id": "a", "keywords": [1]})"), {}, ""), TypeError);
  EXPECT_THROW(score_node(node(R"({"id": "a", "summary": 5})"), {}, ""), TypeError);
  EXPECT_THROW(score_node(node("[]"), {}, ""), TypeError);
}

TEST(ScoreText, CountsEachTermOncePerListing) {
  EXPECT_EQ(score_text("Order ORDER order", {"order"}), 1);
  EXPECT_EQ(score_text("Order", {"order", "order", "x"}), 2);
  EXPECT_TRUE(query_scoped_to_feature("the orders page"));
  EXPECT_FALSE(query_scoped_to_feature("the Orders page"));
}

TEST(CapabilityIndex, ParsesSectionsKeywordsAndFiles) {
  auto caps = parse_capability_index(
      "# Title\nKeywords: early\n- `src/early.ts`\n\n## Orders\nKeywords: Orders, Checkout ,\n"
      "- `src/api/orders.ts`\n- src/api/\n  - plain/file.py  \nkeywords: replaced, orders\n"
      "## Empty\n## Payments\nkeywords: pay\n##NoSpace\n- src/payments.app/\n");
  ASSERT_EQ(caps.size(), 2u);
  EXPECT_EQ(caps[0], (CapabilityEntry{"Orders", {"replaced", "orders"}, {"src/api/orders.ts", "plain/file.py"}}));
  EXPECT_EQ(caps[1], (CapabilityEntry{"Payments", {"pay"}, {"src/payments.app/"}}));

  auto simple = parse_capability_index("## Orders\nKeywords: Orders, Checkout ,\n- `src/api/orders.ts`\n");
  ASSERT_EQ(simple.size(), 1u);
  EXPECT_EQ(simple[0].keywords, (std::vector<std::string>{"orders", "checkout"}));
  auto both = capability_file_boosts({"orders", "checkout"}, simple);
  ASSERT_EQ(both.entries().size(), 1u);
  EXPECT_EQ(*both.find("src/api/orders.ts"), 8);
  EXPECT_EQ(*capability_file_boosts({"checkout", "x"}, simple).find("src/api/orders.ts"), 6);
  EXPECT_TRUE(capability_file_boosts({"x"}, simple).empty());
}

TEST(CapabilityIndex, BoostsKeepTheLargestInFirstOrder) {
  std::vector<CapabilityEntry> caps = {{"A", {"a"}, {"f/2.ts", "f/1.ts"}},
                                       {"B", {"a", "B"}, {"f/1.ts", "f/3.ts"}}};
  auto b = capability_file_boosts({"a", "b"}, caps);
  ASSERT_EQ(b.entries().size(), 3u);
  EXPECT_EQ(b.entries()[0], (std::pair<std::string, long long>{"f/2.ts", 6}));
  EXPECT_EQ(b.entries()[1], (std::pair<std::string, long long>{"f/1.ts", 8}));
  EXPECT_EQ(b.entries()[2], (std::pair<std::string, long long>{"f/3.ts", 8}));
}

TEST(CapabilityIndex, MissingFileOrDirectoryIsEmpty) {
  EXPECT_TRUE(load_capability_index("/nonexistent/functionality_index.md").empty());
  EXPECT_TRUE(load_capability_index("/").empty());
}

}  // namespace
}  // namespace kestrune::br
