#include "kestrune/br/retrieve.h"

#include <gtest/gtest.h>

namespace kestrune::br {
namespace {

json::Value parse(std::string_view s) { return json::parse(s); }

RetrieveResult run(const json::Value& graph, std::string_view q, long long tf, long long te,
                   const std::vector<CapabilityEntry>& caps = {}) {
  return materialise(graph, select(graph, q, tf, te, caps));
}

std::vector<std::string> ids(const json::Array& files) {
  std::vector<std::string> out;
  for (const auto& f : files) out.push_back(json::py_str(f["id"]));
  return out;
}

using Strings = std::vector<std::string>;

const char* kShop = R"({"nodes": [
  {"id": "src/api/orders.ts", "kind": "file", "path": "src/api/orders.ts", "ext": ".ts",
   "keywords": ["orders", "order", "route"], "content": "export function listOrders() {}",
   "summary": "Order API routes", "file_hash": "abcd1234"},
  {"id": "src/api/orders.ts::listOrders", "kind": "symbol", "path": "src/api/orders.ts", "ext": ".ts",
   "keywords": ["list", "orders"], "symbol_type": "use_case", "name": "listOrders",
   "line_start": 0, "line_end": 0, "body_hash": "x", "confidence": "high", "exported": true},
  {"id": "docs/orders.md", "kind": "file", "ext": ".md", "keywords": ["orders"], "content": "# Orders"},
  {"id": "lib/util.py", "kind": "file", "ext": ".py", "keywords": [], "content": ""}
 ], "edges": [
  {"from": "src/api/orders.ts", "to": "src/api/orders.ts::listOrders", "rel": "contains"},
  {"from": "src/api/orders.ts", "to": "./db", "rel": "imports"},
  {"from": "lib/util.py", "to": "os", "rel": "imports"},
  {"from": "docs/orders.md", "to": "src/api/orders.ts", "rel": "references"}
 ]})";

TEST(Retrieve, OneEntryPerFileWithScoresRoleAndIntent) {
  auto graph = parse(kShop);
  auto r = run(graph, "GET /api/orders returns 500", 20, 40);
  // The symbol outranks its file (24 + degree bonus vs 19 + 1), so the file is left out.
  ASSERT_EQ(ids(r.files), (Strings{"src/api/orders.ts::listOrders", "lib/util.py", "docs/orders.md"}));
  EXPECT_EQ(json::dumps(r.files[0]),
            R"({"id": "src/api/orders.ts::listOrders", "kind": "symbol", "path": "src/api/orders.ts", )"
            R"("ext": ".ts", "keywords": ["list", "orders"], "symbol_type": "use_case", "name": "listOrders", )"
            R"("line_start": 0, "line_end": 0, "body_hash": "x", "confidence": "high", "exported": true, )"
            R"("_score": 24, "_role": "logic", "_intent": "debug"})");
  EXPECT_FALSE(r.files[2].as_object().contains("content"));
  EXPECT_EQ(r.files[2]["_score"].as_int(), 2);
  EXPECT_EQ(r.files[2]["_role"].as_string(), "docs");
  // Edges: 2 per matched term, 4 for a chosen end, 1 for an import; ties by from, then to.
  ASSERT_EQ(r.edges.size(), 4u);
  EXPECT_EQ(json::dumps(r.edges[0]), R"({"from": "docs/orders.md", "to": "src/api/orders.ts", "rel": "references"})");
  EXPECT_EQ(json::dumps(r.edges[1]), R"({"from": "src/api/orders.ts", "to": "src/api/orders.ts::listOrders", "rel": "contains"})");
  EXPECT_EQ(json::dumps(r.edges[2]), R"({"from": "lib/util.py", "to": "os", "rel": "imports"})");
  EXPECT_EQ(json::dumps(r.edges[3]), R"({"from": "src/api/orders.ts", "to": "./db", "rel": "imports"})");
}

TEST(Retrieve, LimitsAndFallbacks) {
  auto empty = run(parse("{}"), "anything", 5, 5);
  EXPECT_TRUE(empty.files.empty());
  EXPECT_TRUE(empty.edges.empty());
  EXPECT_TRUE(run(parse(R"({"nodes": null, "edges": null})"), "x", 5, 5).files.empty());

  // Nothing scores: the first nodes come back unchanged, content included.
  auto graph = parse(R"({"nodes": [{"id": "a/node_modules/1.txt", "content": "c"},
      {"id": "a/node_modules/2.txt"}, {"id": "a/node_modules/3.txt"}, {"id": "a/node_modules/4.txt"}],
      "edges": [{"from": "p", "to": "q", "rel": "contains"}, {"from": "r", "to": "s", "rel": "contains"}]})");
  auto r = run(graph, "x", 3, 1);
  EXPECT_EQ(ids(r.files), (Strings{"a/node_modules/1.txt", "a/node_modules/2.txt", "a/node_modules/3.txt"}));
  EXPECT_EQ(r.files[0], graph["nodes"].as_array()[0]);
  EXPECT_EQ(r.edges.size(), 1u);

  // Zero and negative limits choose nothing; the fallback slices like Python.
  auto shop = parse(kShop);
  auto zero = run(shop, "orders", 0, 0);
  EXPECT_TRUE(zero.files.empty());
  EXPECT_TRUE(zero.edges.empty());
  auto neg = run(shop, "orders", -1, -3);
  EXPECT_EQ(ids(neg.files), (Strings{"src/api/orders.ts", "src/api/orders.ts::listOrders", "docs/orders.md"}));
  EXPECT_FALSE(neg.files[0].as_object().contains("_score"));
  ASSERT_EQ(neg.edges.size(), 1u);
  EXPECT_EQ(neg.edges[0], shop["edges"].as_array()[0]);
  EXPECT_TRUE(run(shop, "orders", -10, -10).files.empty());
}

TEST(Retrieve, TiesGoByIdThenGraphOrder) {
  auto graph = parse(R"({"nodes": [{"id": "b.py", "ext": ".py"}, {"id": "a.py", "ext": ".py"},
      {"id": "c.py", "ext": ".py", "kind": "file"}], "edges": [
      {"from": "z", "to": "b", "rel": "imports"}, {"from": "y", "to": "c", "rel": "imports"},
      {"from": "y", "to": "a", "rel": "imports"}]})");
  auto r = run(graph, "", 2, 10);
  EXPECT_EQ(ids(r.files), (Strings{"a.py", "b.py"}));
  ASSERT_EQ(r.edges.size(), 3u);
  EXPECT_EQ(r.edges[0]["to"].as_string(), "a");
  EXPECT_EQ(r.edges[1]["to"].as_string(), "c");
  EXPECT_EQ(r.edges[2]["from"].as_string(), "z");
}

TEST(Retrieve, CapabilityPrefixesDegreeAndConsumers) {
  std::vector<CapabilityEntry> caps = {{"Pay", {"pay"}, {"src/payments.app/", "src/pay.ts"}}};
  auto graph = parse(R"({"nodes": [{"id": "src/payments.app/x.md", "ext": ".md"},
      {"id": "src/pay.ts", "ext": ".md"}, {"id": "src/pay.ts::f", "kind": "symbol", "ext": ".md"},
      {"id": "other.md", "ext": ".md"}]})");
  // Each scores 3 x "pay" in the id, -1 (general docs), -2 (.md); then the boost of 6.
  auto r = run(graph, "pay", 10, 0, caps);
  ASSERT_EQ(ids(r.files), (Strings{"src/pay.ts", "src/payments.app/x.md"}));
  EXPECT_EQ(r.files[0]["_score"].as_int(), 6);
  EXPECT_EQ(r.files[1]["_score"].as_int(), 6);

  // Degree: 11 edge ends give +3, 12 or more the cap of +4.
  json::Array edges;
  for (int i = 0; i < 11; ++i) edges.push_back(parse(R"({"from": "n11.txt", "to": "t", "rel": "contains"})"));
  for (int i = 0; i < 15; ++i) edges.push_back(parse(R"({"from": "n15.txt", "to": "t", "rel": "contains"})"));
  json::Object g;
  g.append("nodes", parse(R"([{"id": "n11.txt"}, {"id": "n15.txt"}])"));
  g.append("edges", std::move(edges));
  auto d = run(json::Value(std::move(g)), "", 10, 0);
  ASSERT_EQ(ids(d.files), (Strings{"n15.txt", "n11.txt"}));
  EXPECT_EQ(d.files[0]["_score"].as_int(), 1 + 4);
  EXPECT_EQ(d.files[1]["_score"].as_int(), 1 + 3);

  // A page importing a badge loses 2 for a button query, gains 4 for a badge query.
  auto pages = parse(R"({"nodes": [{"id": "src/pages/orders.tsx", "ext": ".tsx"}],
      "edges": [{"from": "src/pages/orders.tsx", "to": "../components/StatusBadge", "rel": "imports"}]})");
  const std::string button_q = "make the button show status";
  long long base = score_node(pages["nodes"].as_array()[0], tokenize_query(button_q), button_q);
  EXPECT_EQ(run(pages, button_q, 1, 0).files[0]["_score"].as_int(), base - 2);
  const std::string badge_q = "make the badge show status";
  base = score_node(pages["nodes"].as_array()[0], tokenize_query(badge_q), badge_q);
  EXPECT_EQ(run(pages, badge_q, 1, 0).files[0]["_score"].as_int(), base + 4);
}

// Files and edges are chosen best first, so a smaller limit gives a prefix of
// a larger one's choice, through ties of score and of id and repeated files.
TEST(Retrieve, SmallerLimitsChooseAPrefix) {
  json::Array nodes, edges;
  const char* dirs[] = {"src/api/", "src/pages/", "docs/", "lib/"};
  for (int i = 0; i < 60; ++i) {
    const std::string file = std::string(dirs[i % 4]) + "f" + std::to_string(i % 7) + (i % 3 ? ".ts" : ".md");
    json::Object n;
    n.append("id", i % 5 == 0 ? file + "::S" + std::to_string(i) : file);
    n.append("kind", i % 5 == 0 ? "symbol" : "file");
    n.append("ext", i % 3 ? ".ts" : ".md");
    n.append("keywords", json::Array{json::Value(i % 2 ? "orders" : "card")});
    nodes.push_back(std::move(n));
    json::Object e;
    e.append("from", file);
    e.append("to", std::string(dirs[(i + 1) % 4]) + "f" + std::to_string(i % 4) + ".ts");
    e.append("rel", i % 4 ? "imports" : "contains");
    edges.push_back(std::move(e));
  }
  json::Object g;
  g.append("nodes", std::move(nodes));
  g.append("edges", std::move(edges));
  const json::Value graph(std::move(g));
  const auto all = run(graph, "orders card api", 1000, 1000);
  ASSERT_GT(all.files.size(), 10u);
  ASSERT_EQ(all.edges.size(), 60u);
  for (long long k : {1, 2, 5, 9, 17, 40}) {
    // The chosen files weigh in on the edges' scores, so each limit varies alone.
    const auto files = run(graph, "orders card api", k, 1000);
    ASSERT_EQ(files.files.size(), std::min<size_t>(k, all.files.size()));
    for (size_t i = 0; i < files.files.size(); ++i) EXPECT_EQ(files.files[i], all.files[i]) << k;
    const auto edges = run(graph, "orders card api", 1000, k);
    ASSERT_EQ(edges.edges.size(), static_cast<size_t>(k));
    for (size_t i = 0; i < edges.edges.size(); ++i) EXPECT_EQ(edges.edges[i], all.edges[i]) << k;
  }
}

// Past 64 terms the edges are scored from their joined text, below it piece
// by piece with what an edge's `from` gave reused for the next edge: terms that
// match nothing must leave every score as it was, whichever way is taken.
TEST(Retrieve, EdgeScoresDoNotDependOnHowTermsAreCounted) {
  auto graph = parse(R"({"nodes": [{"id": "src/api/orders.ts", "ext": ".ts"}, {"id": 7, "ext": ".ts"},
      {"id": "src/K\u212aorders.ts", "ext": ".ts"}],
    "edges": [{"from": "src/api/orders.ts", "to": "src/api/orders.ts::list", "rel": "contains"},
      {"from": "src/api/orders.ts", "to": "./ORDERS/api", "rel": "imports"},
      {"from": 7, "to": "src/api/orders.ts", "rel": "imports"},
      {"from": "7", "to": "x", "rel": "ordersapi"},
      {"from": "src/K\u212aorders.ts", "to": "k", "rel": "imports"},
      {"from": "src/K\u212aorders.ts", "to": "k", "rel": "imports"}]})");
  std::string many = "orders api kk";
  for (int i = 0; i < 70; ++i) many += " zz" + std::to_string(i);
  ASSERT_GT(tokenize_query(many).size(), 64u);
  const auto few = run(graph, "orders api kk", 2, 10), all = run(graph, many, 2, 10);
  EXPECT_EQ(json::dumps(json::Value(few.edges)), json::dumps(json::Value(all.edges)));
  EXPECT_EQ(json::dumps(json::Value(few.files)), json::dumps(json::Value(all.files)));
}

// Nodes get the edges' share best first and in batches; one that only the
// edges lift, to a tie it wins on its id, must still be chosen however many
// nodes scored better before it.
TEST(Retrieve, EdgesCanLiftANodePastManyOthers) {
  for (int others : {3, 67, 68, 150}) {
    json::Array nodes, edges;
    for (int i = 0; i < others; ++i) nodes.push_back(parse(R"({"id": "lib/a)" + std::to_string(i) + R"(.py", "ext": ".py"})"));
    nodes.push_back(parse(R"({"id": "lib/0hub.txt", "ext": ".txt"})"));  // 1 without edges, then + 4
    for (int i = 0; i < 12; ++i) edges.push_back(parse(R"({"from": "lib/0hub.txt", "to": "x", "rel": "contains"})"));
    json::Object g;
    g.append("nodes", std::move(nodes));
    g.append("edges", std::move(edges));
    const json::Value graph(std::move(g));
    for (long long tf : {1LL, 3LL}) {
      auto r = run(graph, "", tf, 0);
      ASSERT_EQ(r.files.size(), static_cast<size_t>(tf)) << others;
      EXPECT_EQ(r.files[0]["id"].as_string(), "lib/0hub.txt") << others;
      EXPECT_EQ(r.files[0]["_score"].as_int(), 5) << others;  // code 1 + degree 4, as each .py: code 1 + 4
      if (tf == 3) {
        EXPECT_EQ(r.files[1]["id"].as_string(), "lib/a0.py") << others;
      }
    }
  }
}

TEST(Retrieve, RoleKeepsTheStoredExtension) {
  auto r = run(parse(R"({"nodes": [{"id": "x/README", "ext": ".MD", "keywords": ["guide"]}]})"),
               "explain the guide", 1, 0);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0]["_role"].as_string(), "code");
}

}  // namespace
}  // namespace kestrune::br
