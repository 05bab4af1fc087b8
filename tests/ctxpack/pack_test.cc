#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/testkit.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/base/text.h"
#include "kestrune/ctxpack/ctxpack.h"

namespace kestrune::ctxpack {
namespace {

using testkit::TempDir;

json::Value file_node(const std::string& id, const std::string& summary) {
  json::Object o;
  o.append("id", id);
  o.append("kind", "file");
  o.append("path", id);
  o.append("ext", fs::suffix(id));
  o.append("summary", summary);
  return o;
}

json::Value symbol_node(const std::string& file, const std::string& name, const std::string& type,
                        long long start, long long end) {
  json::Object o;
  o.append("id", file + "::" + name);
  o.append("kind", "symbol");
  o.append("path", file);
  o.append("ext", fs::suffix(file));
  o.append("keywords", json::Array{json::Value(text::lower(name))});
  o.append("symbol_type", type);
  o.append("name", name);
  o.append("line_start", start);
  o.append("line_end", end);
  return o;
}

json::Value edge(const std::string& from, const std::string& to, const std::string& rel) {
  json::Object o;
  o.append("from", from);
  o.append("to", to);
  o.append("rel", rel);
  return o;
}

json::Value graph_of(json::Array nodes, json::Array edges) {
  json::Object g;
  g.append("nodes", std::move(nodes));
  g.append("edges", std::move(edges));
  return g;
}

TEST(EstimateTokens, FourCodePointsATokenRoundedUp) {
  EXPECT_EQ(estimate_tokens(""), 0);
  EXPECT_EQ(estimate_tokens("abcd"), 1);
  EXPECT_EQ(estimate_tokens("abcde"), 2);
  EXPECT_EQ(estimate_tokens("ééééé"), 2);  // code points, not bytes
}

TEST(LoadSummaries, ReadsTheObjectAndToleratesItsAbsence) {
  TempDir d;
  EXPECT_TRUE(load_summaries(d.path()).empty());
  d.write(".braid/summaries.json", "\xEF\xBB\xBF{\"a.ts\": \"Does A\", \"b.ts\": 3, \"c\\u00e9.py\": \"C\"}");
  Summaries s = load_summaries(d.path());
  EXPECT_EQ(s.size(), 2u);
  EXPECT_EQ(s["a.ts"], "Does A");
  EXPECT_EQ(s["c\xC3\xA9.py"], "C");
  d.write(".braid/summaries.json", "[1, 2]");
  EXPECT_THROW(load_summaries(d.path()), std::runtime_error);
  d.write(".braid/summaries.json", "{oops");
  EXPECT_THROW(load_summaries(d.path()), std::runtime_error);
}

// A small project: an order route, a model it uses, and a readme.
struct Shop {
  TempDir dir;
  json::Value graph;
  json::Array files, edges;
  Shop() {
    dir.write("api/orders.ts",
              "import { db } from '../lib/db'\n"
              "\n"
              "export async function GET() {\n"
              "  return db.orders.all()\n"
              "}\n"
              "\n"
              "export async function POST(req) {\n"
              "  const order = await req.json()\n"
              "  return db.orders.insert(order)\n"
              "}\n");
    dir.write("models/order.py", "class Order:\n    total = 0\n");
    graph = graph_of(
        {file_node("api/orders.ts", "Order API routes"), symbol_node("api/orders.ts", "GET", "api_route", 2, 4),
         symbol_node("api/orders.ts", "POST", "api_route", 6, 9), file_node("models/order.py", "Order model"),
         symbol_node("models/order.py", "Order", "model", 0, 1), file_node("missing.ts", "")},
        {edge("api/orders.ts", "../lib/db", "imports"), edge("api/orders.ts", "api/orders.ts::GET", "contains"),
         edge("models/order.py", "models/order.py::Order", "contains")});
    json::Value post = graph["nodes"].as_array()[2];
    post.as_object().append("_score", 20);
    files = {post, json::Value(graph["nodes"].as_array()[5]), json::Value(graph["nodes"].as_array()[3])};
    edges = graph["edges"].as_array();
  }
  std::string pack(long long budget, long long max_files, const Summaries& sums = {},
                   std::string_view query = "how are orders created") const {
    return ctxpack::pack({files, edges, sums, graph, dir.path(), budget, max_files, query});
  }
};

// The numbered lines of every excerpt in `out`, checked against the files'
// text: each must be the file's line (trailing blanks dropped), or its start
// where a long line is cut.
void expect_excerpts_quote_the_files(const std::string& out, const std::string& root,
                                     const std::string& where) {
  std::vector<std::string> file_lines;
  std::string id;
  bool in_block = false;
  size_t quoted = 0;
  for (std::string_view line : text::split(out, "\n")) {
    if (line.starts_with("## ") && !in_block) {
      id = std::string(line.substr(3));
      file_lines.clear();
      if (id == "Relations") continue;
      const std::string file = fs::read_text(fs::join(root, id), text::Errors::Drop);
      for (std::string_view l : text::split(file, "\n")) file_lines.emplace_back(l);
    } else if (line.starts_with("```")) {
      in_block = !in_block;
    } else if (in_block && line != "⋮") {
      size_t bar = line.find("| ");
      ASSERT_NE(bar, std::string_view::npos) << where << ": " << line;
      size_t n = std::stoul(std::string(text::strip(line.substr(0, bar))));
      ASSERT_TRUE(n >= 1 && n <= file_lines.size()) << where << ": " << id << " " << line;
      std::string_view shown = line.substr(bar + 2), want = text::rstrip(file_lines[n - 1]);
      if (shown.ends_with("…") && shown.size() - 3 < want.size()) {
        shown.remove_suffix(3);
        want = want.substr(0, shown.size());
      }
      EXPECT_EQ(shown, want) << where << ": " << id << " line " << n;
      ++quoted;
    }
  }
  EXPECT_GT(quoted, 0u) << where;
}

TEST(Pack, EveryExcerptLineIsTheFilesLine) {
  // Tiny files among larger ones, so that the texts held for earlier files
  // are short ones while later files are still being gathered.
  TempDir d;
  json::Array nodes;
  auto add = [&](const std::string& id, const std::string& body, const std::string& sym, long long end) {
    d.write(id, body);
    nodes.push_back(file_node(id, ""));
    nodes.push_back(symbol_node(id, sym, "utility", 0, end));
  };
  add("a.py", "def f(): pass\n", "f", 0);
  add("b.py", "def g(): pass\n", "g", 0);
  add("ok.txt", "OK", "ok", 0);
  add("crlf.py", "def h():\r\n    return 'h'\r\n", "h", 1);
  std::string wide = "def wide():\n    x = '" + std::string(300, 'w') + "'  \n    return x\n";
  add("wide.py", wide, "wide", 2);
  for (int f = 0; f < 9; ++f) {
    std::string body;
    for (int l = 0; l < 30 + 7 * f; ++l) body += "def order_" + std::to_string(l) + "(): return " + std::to_string(f) + "\n";
    add("svc" + std::to_string(f) + ".py", body, "order_" + std::to_string(f), 3);
  }
  json::Value graph = graph_of(nodes, {});
  json::Array files;
  for (const json::Value& n : nodes)
    if (n["kind"].as_string() == "symbol") files.push_back(n);
  for (std::string_view query : {"f g", "order wide", "ok h", ""})
    for (long long budget : {400LL, 5000LL})
      expect_excerpts_quote_the_files(pack({files, {}, {}, graph, d.path(), budget, 20, query}), d.path(),
                                      std::string(query) + " @" + std::to_string(budget));
}

TEST(Pack, FilesOutsideTheRootAreNeverRead) {
  // A tampered graph names files beside the project, by "..", by an absolute
  // id, and through links out of it; links that stay inside are followed.
  TempDir t;
  const std::string root = fs::join(t.path(), "proj");
  t.write("outside/secret.txt", "SECRET daemon root\n");
  t.write("proj/inside.py", "def inside(): return 'daemon root'\n");
  ASSERT_EQ(symlink("../outside/secret.txt", fs::join(root, "leak.txt").c_str()), 0);
  ASSERT_EQ(symlink("../outside", fs::join(root, "out").c_str()), 0);
  ASSERT_EQ(symlink("inside.py", fs::join(root, "alias.py").c_str()), 0);
  ASSERT_EQ(symlink("proj", fs::join(t.path(), "via").c_str()), 0);
  const std::vector<std::string> ids = {"../outside/secret.txt", fs::join(t.path(), "outside/secret.txt"),
                                        "leak.txt", "out/secret.txt", "inside.py", "alias.py",
                                        "proj/../../outside/secret.txt"};
  json::Array nodes;
  for (const std::string& id : ids) nodes.push_back(file_node(id, "notes about root and daemon"));
  json::Value graph = graph_of(nodes, {});
  // The root as given may itself run through a link.
  for (const std::string& given : {root, fs::join(t.path(), "via")}) {
    std::string out = pack({nodes, {}, {}, graph, given, 5000, 20, "notes about root and daemon"});
    EXPECT_EQ(out.find("SECRET"), std::string::npos) << out;
    std::vector<std::string> shown;
    for (std::string_view line : text::split(out, "\n"))
      if (line.starts_with("## ")) shown.emplace_back(line.substr(3));
    EXPECT_EQ(shown, (std::vector<std::string>{"inside.py", "alias.py"})) << given;
  }
}

TEST(Pack, LaysOutEachFileThenTheRelations) {
  Shop shop;
  std::string out = shop.pack(5000, 8, {{"models/order.py", "  The order record.  "}});
  EXPECT_EQ(out,
            "# Project context\n"
            "Root: " + shop.dir.path() + "\n"
            "Files most relevant to the question, best first, from the project's information graph. "
            "Line numbers are one-based.\n"
            "\n"
            "## api/orders.ts\n"
            "Order API routes\n"
            "Symbols:\n"
            "- `GET` api_route, lines 3-5\n"
            "- `POST` api_route, lines 7-10 (best match)\n"
            "\n"
            "```ts\n"
            " 1| import { db } from '../lib/db'\n"
            " 2| \n"
            " 3| export async function GET() {\n"
            " 4|   return db.orders.all()\n"
            " 5| }\n"
            " 6| \n"
            " 7| export async function POST(req) {\n"
            " 8|   const order = await req.json()\n"
            " 9|   return db.orders.insert(order)\n"
            "10| }\n"
            "```\n"
            "\n"
            "## models/order.py\n"
            "The order record.\n"
            "Symbols:\n"
            "- `Order` model, lines 1-2\n"
            "\n"
            "```python\n"
            "1| class Order:\n"
            "2|     total = 0\n"
            "```\n"
            "\n"
            "## Relations\n"
            "- api/orders.ts imports ../lib/db");
  EXPECT_EQ(out, shop.pack(5000, 8, {{"models/order.py", "  The order record.  "}}));
}

TEST(Pack, MaxFilesCountsShownFilesAndUnreadableOnesAreSkipped) {
  Shop shop;
  std::string one = shop.pack(5000, 1);
  EXPECT_NE(one.find("## api/orders.ts"), std::string::npos);
  EXPECT_EQ(one.find("## models/order.py"), std::string::npos);
  EXPECT_EQ(one.find("missing.ts\n"), std::string::npos);
  std::string two = shop.pack(5000, 2);
  EXPECT_NE(two.find("## models/order.py\nOrder model\n"), std::string::npos);
  EXPECT_EQ(shop.pack(5000, 0).find("##"), shop.pack(5000, 0).find("## Relations"));
}

TEST(Pack, ATightBudgetCutsTheExcerptToTheRelevantLines) {
  Shop shop;
  std::string out = shop.pack(170, 8);
  EXPECT_LE(estimate_tokens(out), 170);
  // The retrieved symbol's lines come first; the rest of the file did not fit.
  EXPECT_NE(out.find(" 7| export async function POST(req) {"), std::string::npos);
  EXPECT_EQ(out.find(" 1| import"), std::string::npos);
  EXPECT_EQ(shop.pack(0, 8), "");
  EXPECT_EQ(shop.pack(-5, 8), "");
  EXPECT_EQ(shop.pack(10, 8), "");
}

TEST(Pack, NeverExceedsTheBudgetOnALargeProject) {
  TempDir d;
  json::Array nodes, files, edges;
  for (int f = 0; f < 40; ++f) {
    std::string id = "src/mod" + std::to_string(f) + "/service.ts";
    std::string body;
    for (int l = 0; l < 400; ++l)
      body += "export function handler" + std::to_string(l) + "(order) { return charge(order, " +
              std::to_string(l) + ") } // é\n";
    d.write(id, body);
    nodes.push_back(file_node(id, "Service " + std::to_string(f)));
    for (int s = 0; s < 50; ++s)
      nodes.push_back(symbol_node(id, "handler" + std::to_string(s * 8), "use_case", s * 8, s * 8 + 5));
    files.push_back(nodes[nodes.size() - 1 - (f % 7)]);
    for (int e = 0; e < 3; ++e) edges.push_back(edge(id, "../lib/dep" + std::to_string(e), "imports"));
  }
  json::Value graph = graph_of(nodes, edges);
  for (long long budget : {1LL, 40LL, 100LL, 333LL, 1000LL, 5000LL, 20000LL}) {
    for (long long max_files : {1LL, 8LL, 40LL}) {
      std::string out = pack({files, edges, {}, graph, d.path(), budget, max_files, "charge the order"});
      EXPECT_LE(estimate_tokens(out), budget) << budget << " " << max_files;
      if (budget >= 1000) {
        EXPECT_NE(out.find("```ts\n"), std::string::npos);
      }
    }
  }
  // A generous budget is used well, not left mostly empty.
  std::string out = pack({files, edges, {}, graph, d.path(), 5000, 8, "charge the order"});
  EXPECT_GT(estimate_tokens(out), 4500);
  EXPECT_NE(out.find("## Relations"), std::string::npos);
}

}  // namespace
}  // namespace kestrune::ctxpack
