#include "kestrune/br/query.h"

#include <gtest/gtest.h>

namespace kestrune::br {
namespace {

using Strings = std::vector<std::string>;

TEST(ExtractRoute, MethodsPathsAndCleaning) {
  EXPECT_EQ(extract_route("GET /api/orders/{id}/items"), (Route{"GET", {"orders", "id", "items"}}));
  EXPECT_EQ(extract_route("post /Users"), (Route{"POST", {"users"}}));
  EXPECT_EQ(extract_route("Fix GET /api/users/:userId/orders?x=1"),
            (Route{"GET", {"users", "userid", "orders"}}));
  EXPECT_EQ(extract_route("the PATCH  /a//b/ route"), (Route{"PATCH", {"a", "b"}}));
  EXPECT_EQ(extract_route("no route here"), Route{});
  EXPECT_EQ(extract_route(""), Route{});
  // The method must stand as a word of its own.
  EXPECT_EQ(extract_route("FORGET /x"), Route{});
}

TEST(TokenizeQuery, StopWordsRepeatsAndSeparators) {
  EXPECT_EQ(tokenize_query("Fix the login API crash"), (Strings{"login", "crash"}));
  EXPECT_EQ(tokenize_query("cart Cart CART"), (Strings{"cart"}));
  EXPECT_EQ(tokenize_query("user_id vs user-id"), (Strings{"user_id", "vs", "user", "id"}));
  EXPECT_EQ(tokenize_query("Why does checkout return 500?"),
            (Strings{"why", "does", "checkout", "return", "500"}));
  EXPECT_EQ(tokenize_query("a b c d"), Strings{});
  // Non-ASCII letters separate runs; lower-casing happens first (Kelvin sign -> k).
  EXPECT_EQ(tokenize_query("caf\xC3\xA9 na\xC3\xAF" "ve \xE2\x84\xAA" "ey"), (Strings{"caf", "na", "ve", "key"}));
}

TEST(ClassifyIntent, GroupOrderAndSubstrings) {
  EXPECT_EQ(classify_intent("GET /api/orders is slow"), Intent::Debug);
  EXPECT_EQ(classify_intent("Explain why login fails"), Intent::Explain);
  EXPECT_EQ(classify_intent("Show the latest orders"), Intent::Test);
  EXPECT_EQ(classify_intent("Add a retry to the failing job"), Intent::Debug);
  EXPECT_EQ(classify_intent("How do I rename this"), Intent::General);
  EXPECT_EQ(classify_intent(""), Intent::General);
  EXPECT_EQ(classify_intent("Simplify the cart"), Intent::Refactor);
  EXPECT_EQ(classify_intent("Update the address"), Intent::Feature);  // 'address' holds "add"
  EXPECT_EQ(classify_intent("Modify the header"), Intent::Edit);
}

TEST(NodeRole, RuleOrder) {
  EXPECT_EQ(node_role("docs/guide.md", ".md"), Role::Docs);
  EXPECT_EQ(node_role("src/tests/guide.md", ".md"), Role::Docs);
  EXPECT_EQ(node_role("src/app/page.test.tsx", ".tsx"), Role::Test);
  EXPECT_EQ(node_role("src/components/ui/button.tsx", ".tsx"), Role::SharedUi);
  EXPECT_EQ(node_role("src/components/features/cart.tsx", ".tsx"), Role::UiSurface);
  EXPECT_EQ(node_role("src/api/users.ts", ".ts"), Role::Logic);
  EXPECT_EQ(node_role("api/users.ts", ".ts"), Role::Code);
  EXPECT_EQ(node_role("README.MD", ".MD"), Role::Code);
  EXPECT_EQ(node_role("SRC/API/Users.ts", ".ts"), Role::Logic);
  EXPECT_EQ(node_role("", ""), Role::Code);
}

TEST(IntentRoleWeight, TableAndUnknownNames) {
  EXPECT_EQ(intent_role_weight("test", "test"), 5);
  EXPECT_EQ(intent_role_weight("explain", "docs"), 2);
  EXPECT_EQ(intent_role_weight("nonsense", "logic"), 2);
  EXPECT_EQ(intent_role_weight("edit", "nonsense"), 0);
  EXPECT_EQ(intent_role_weight(Intent::Feature, Role::Logic), 4);
  EXPECT_EQ(intent_role_weight(Intent::General, Role::Docs), -1);
  EXPECT_EQ(intent_role_weight(Intent::Refactor, Role::Code), 3);
}

}  // namespace
}  // namespace kestrune::br
