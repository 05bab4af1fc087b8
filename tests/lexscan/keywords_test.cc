#include <gtest/gtest.h>

#include "kestrune/base/text.h"
#include "kestrune/lexscan/keywords.h"

namespace kestrune::lexscan {
namespace {

using Words = std::vector<std::string>;

TEST(Keywords, SplitCamelAndNameKeywords) {
  EXPECT_EQ(split_camel("getHTTPResponse"), (Words{"get", "http", "response"}));
  EXPECT_EQ(split_camel("parseJSON"), (Words{"parse", "json"}));
  EXPECT_EQ(split_camel("Id"), Words{});
  EXPECT_EQ(name_keywords("HTTPServer_config"),
            (Words{"httpserver_config", "http", "server_config", "httpserver", "config"}));
  EXPECT_EQ(name_keywords("getUserById"), (Words{"getuserbyid", "get", "user"}));
  EXPECT_EQ(name_keywords("__init__"), Words{"init"});
  EXPECT_EQ(name_keywords("ab"), Words{});
  EXPECT_EQ(name_keywords("alphaBetaGammaDeltaEpsilonZetaEtaThetaIotaKappaLambda_mu_nu_extra"),
            (Words{"alphabetagammadeltaepsilonzetaetathetaiotakappalambda_mu_nu_extra", "alpha", "beta", "gamma",
                   "delta", "epsilon", "zeta", "eta", "theta", "iota"}));
}

TEST(Keywords, RoutesAndHttpCalls) {
  EXPECT_EQ(extract_keywords("app.get('/users/:id/orders', h)\nr.HandleFunc(\"/api/{name}/x\", h)\n"
                             "@bp.put('/items/<int:item_id>')\nfetch('/api/db/users?id=1')\n"
                             "axios.get(`https://shop.example.com/v1/carts`)\n",
                             ".py"),
            (Words{"get", "users", "orders", "handlefunc", "api", "name", "put", "items", "intitem_id", "usersid1",
                   "shop", "carts"}));
  EXPECT_EQ(extract_keywords("GET ID id", ".md"), Words{});
}

TEST(Keywords, LanguageDeclarationsAndLeadingComments) {
  EXPECT_EQ(extract_keywords("\"\"\"Module for pricing rules and discount tables.\"\"\"\ndef apply_discount(): pass\n"
                             "class PriceTable: pass\ndef _x(): pass\n",
                             ".py"),
            (Words{"apply_discount", "apply", "discount", "pricetable", "price", "table", "module", "pricing", "rules",
                   "tables"}));
  EXPECT_EQ(extract_keywords("/** Shopping cart helpers for the storefront */\nexport default async function loadCart() {}\n"
                             "export { a as bCart, Thing }\n",
                             ".ts"),
            (Words{"loadcart", "load", "cart", "bcart", "thing", "shopping", "helpers", "storefront"}));
  EXPECT_EQ(extract_keywords("func ServeHTTP() {}\nfunc (s *S) Close() {}\nfunc private() {}\n", ".go"),
            (Words{"servehttp", "serve", "http", "close"}));
  std::string many;
  for (int i = 0; i < 100; ++i) many += "def fn" + std::to_string(i) + "(): pass\n";
  auto kw = extract_keywords(many, ".py");
  ASSERT_EQ(kw.size(), 80u);
  EXPECT_EQ(kw.back(), "fn79");
}

TEST(Keywords, Summaries) {
  EXPECT_EQ(make_summary("\"\"\"Render invoices as PDF.\"\"\"\ndef render(): pass\ndef _fmt(): pass\nclass Invoice: pass\n",
                         "src/billing/invoice_pdf.py", ".py"),
            "Render invoices as PDF. Contains 2 functions/classes: render, Invoice.");
  EXPECT_EQ(make_summary("x;\n", "lib/auth/session.ts", ".ts"), "Handles auth session.");
  EXPECT_EQ(make_summary("", "src/index", ".ts"), "Handles index.");
  EXPECT_EQ(make_summary("", "", ""), "");
  EXPECT_EQ(make_summary("function a(){}\nfunction b(){}\nclass c{}\nfunction _d(){}\nfunction e(){}\nfunction f(){}\n",
                         "app/x-y_z.ts", ".ts"),
            "function a(){}. Contains 5 functions/classes: a, b, c, _d, ....");
  // A docstring with a quote inside is no description; its line is.
  EXPECT_EQ(make_summary("\"\"\"Don't do this here.\"\"\"\n", "a/b.py", ".py"), "\"\"\"Don't do this here.\"\"\".");
  EXPECT_EQ(make_summary("package handlers\n", "services/payments/handler.go", ".go"), "package handlers.");
  EXPECT_EQ(make_summary("/** Title *** here\n * more */\nexport class K {}", "k.ts", ".ts"),
            "Title here more. Contains 1 function: K.");
  std::string big = "# " + std::string(130, 'w') + "\n";
  for (int i = 0; i < 6; ++i) big += "def " + std::string(40, 'n') + std::to_string(i) + "(): pass\n";
  std::string s = make_summary(big, "a.py", ".py");
  EXPECT_EQ(text::length(s), 250u);
  EXPECT_TRUE(s.ends_with("nnnnnnnnnnnnnnn1, nnnnnnnnnnnn"));
  // The description comes from the first five lines, however long they are.
  const std::string blank = std::string(700, ' ') + "\n";
  EXPECT_EQ(make_summary(blank + blank + "é\v" + blank + "Fifth line is the one\n", "p/q.md", ".md"),
            "Fifth line is the one.");
  EXPECT_EQ(make_summary(blank + blank + blank + blank + "\u2028Sixth line is too late\n", "p/q.md", ".md"),
            "Handles p q.");
}

}  // namespace
}  // namespace kestrune::lexscan
