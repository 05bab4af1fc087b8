#include "kestrune/br/relevance.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "common/testkit.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/md5.h"
#include "kestrune/br/imports.h"
#include "kestrune/br/terms.h"
#include "kestrune/lexscan/lexscan.h"

namespace kestrune::br {
namespace {

using Strings = std::vector<std::string>;

TEST(Terms, IdentifiersSplitWhereAReaderWould) {
  const std::vector<std::pair<std::string, Strings>> cases = {
      {"parseHTTPHeader", {"parse", "HTTP", "Header"}},
      {"snake_case_name", {"snake", "case", "name"}},
      {"__init__", {"init"}},
      {"utf8Decode", {"utf8", "Decode"}},
      {"XMLParser", {"XML", "Parser"}},
      {"ALL_CAPS", {"ALL", "CAPS"}},
      {"plain", {"plain"}},
  };
  for (const auto& [word, parts] : cases) {
    Strings got;
    for (auto p : identifier_parts(word)) got.emplace_back(p);
    EXPECT_EQ(got, parts) << word;
  }
  // The whole identifier first, then its pieces; short pieces and decoration left out.
  std::vector<std::pair<std::string, bool>> seen;
  for_each_term("parseArgs(x_y, __all__)", [&](std::string_view t, bool whole) { seen.emplace_back(t, whole); });
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{
                      {"parsearg", true}, {"pars", false}, {"arg", false}, {"x_y", true}, {"all", true}}));
}

TEST(Terms, StemsMeetAcrossForms) {
  for (auto w : {"parse", "parsing", "parsed", "parser", "parsers", "parses"}) EXPECT_EQ(stem(w), "pars") << w;
  for (auto w : {"cache", "cached", "caching"}) EXPECT_EQ(stem(w), "cach") << w;
  for (auto w : {"map", "mapping", "mapped"}) EXPECT_EQ(stem(w), "map") << w;
  EXPECT_EQ(stem("dependencies"), "dependency");
  EXPECT_EQ(stem("errors"), "error");
  // Words that only look inflected stay whole.
  for (auto w : {"status", "class", "analysis", "api", "go"}) EXPECT_EQ(stem(w), w) << w;
  EXPECT_TRUE(is_stop_word("does"));
  EXPECT_FALSE(is_stop_word("timeout"));
}

// A graph of files with the given ids and texts (no symbols).
json::Value graph_of(const std::vector<std::pair<std::string, std::string>>& files, const std::string& root = "") {
  json::Array nodes;
  for (const auto& [id, text] : files) {
    json::Object n;
    n.append("id", id);
    n.append("kind", "file");
    n.append("path", id);
    n.append("ext", fs::suffix(id));
    n.append("size", static_cast<long long>(text.size()));
    n.append("keywords", json::Array{});
    n.append("content", text);
    n.append("summary", "");
    n.append("file_hash", "");
    nodes.push_back(json::Value(std::move(n)));
  }
  json::Object g;
  g.append("root", root);
  g.append("nodes", std::move(nodes));
  g.append("edges", json::Array{});
  return json::Value(std::move(g));
}

Strings ranked(const json::Value& graph, std::string_view query, size_t top = 8) {
  const std::string image = build_index(graph);
  auto ix = RelevanceIndex::open(image);
  EXPECT_TRUE(ix);
  Strings out;
  for (const RankedFile& r : rank_files(*ix, query, top)) out.emplace_back(ix->doc_id(ix->doc(r.doc)));
  return out;
}

TEST(Relevance, RareWordsOutweighCommonOnes) {
  // "provider" is everywhere and repeated; "reconcile" is in one file once.
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 12; ++i)
    files.emplace_back("pkg/provider" + std::to_string(i) + ".go", "provider provider provider setup");
  files.emplace_back("pkg/state.go", "func apply() { reconcile(provider) }");
  EXPECT_EQ(ranked(graph_of(files), "How does the provider reconcile state?").front(), "pkg/state.go");
  // A word in a file's path and declarations counts for more than the same word in passing.
  auto g = graph_of({{"lib/notes.py", "we retry here and retry there"}, {"lib/retry.py", "def retry(): pass"}});
  EXPECT_EQ(ranked(g, "retry").front(), "lib/retry.py");
  // Nothing matching: nothing chosen.
  EXPECT_TRUE(ranked(g, "zzz quux").empty());
}

TEST(Relevance, TestsAndDocsGiveWayUnlessAskedFor) {
  auto g = graph_of({{"src/session.ts", "export function refreshSession() { token }"},
                     {"src/session.test.ts", "refreshSession token refreshSession session test"},
                     {"docs/session.md", "# Session\nrefreshSession renews the session token"}});
  EXPECT_EQ(ranked(g, "where is the session token refreshed").front(), "src/session.ts");
  EXPECT_EQ(ranked(g, "which test covers refreshing the session token").front(), "src/session.test.ts");
  EXPECT_EQ(ranked(g, "what do the docs say about session tokens").front(), "docs/session.md");
}

TEST(Relevance, ExactNamesAndImportsLiftFiles) {
  auto g = graph_of({{"app/handlers.py", "from .models import Invoice\n\ndef charge_card(invoice): pass"},
                     {"app/models.py", "class Invoice:\n    def total(self): return 1"},
                     {"app/other.py", "weather report"},
                     {"app/__init__.py", ""}});
  // The file the best match imports comes with it, though it shares no word with the question.
  EXPECT_EQ(ranked(g, "where is the card charged"), (Strings{"app/handlers.py", "app/models.py"}));
  // A name written as code finds its declaration.
  EXPECT_EQ(ranked(g, "what does Invoice.total return").front(), "app/models.py");
  EXPECT_EQ(ranked(g, "explain models.py").front(), "app/models.py");
}

TEST(Imports, ReadFromTheFilesOwnText) {
  EXPECT_EQ(python_imports("import os.path, json as j\nfrom .b import (x,\n  y)\nfrom .. import c  # x\n"
                           "  from pkg.mod import *\nfrom the docs import nothing\n"),
            (Strings{"os.path", "json", ".b", ".b.x", ".b.y", "..", "..c", "pkg.mod"}));
  EXPECT_EQ(script_imports("import a, { b } from './x';\nexport * from \"../y.js\"\nimport './side.css'\n"
                           "const z = require('./z'); const w = await import(`./w`)\nobj.from('no')"),
            (Strings{"./x", "../y.js", "./side.css", "./z", "./w"}));
  EXPECT_EQ(go_imports("package p\n\nimport \"fmt\"\nimport (\n\tio \"io\"\n\t_ \"example.com/m/db\" // side\n"
                       "\t\"example.com/m/internal/util\"\n)\nfunc f() { _ = \"import x\" }\n"),
            (Strings{"fmt", "io", "example.com/m/db", "example.com/m/internal/util"}));
}

TEST(Imports, ResolveToProjectFiles) {
  const std::vector<std::string> owned = {
      "app/handlers.py", "app/models.py", "app/__init__.py", "lib/util/__init__.py", "src/pkg/core.py",
      "web/src/pages/cart.tsx", "web/src/lib/api.ts", "web/src/components/index.ts", "src/components/Button.tsx",
      "cmd/server/main.go", "internal/db/db.go", "internal/db/db_test.go", "internal/db/pool.go", "errors/errors.go"};
  std::vector<std::string_view> ids(owned.begin(), owned.end());
  auto names = [&](const std::vector<uint32_t>& v) {
    Strings out;
    for (uint32_t i : v) out.push_back(owned[i]);
    return out;
  };
  ImportResolver r(ids);
  // Python: relative to the package, absolute from the root or below a source directory.
  EXPECT_EQ(names(r.resolve(0, "from .models import Invoice\nimport lib.util\nfrom pkg import core\nimport os")),
            (Strings{"app/models.py", "lib/util/__init__.py", "src/pkg/core.py"}));
  // TypeScript: extensions, compiled names, index files, the "@/" alias.
  EXPECT_EQ(names(r.resolve(5, "import { get } from '../lib/api.js'\nimport * as c from '../components'\n"
                                "import { Button } from '@/components/Button'\nimport React from 'react'")),
            (Strings{"web/src/lib/api.ts", "web/src/components/index.ts", "src/components/Button.tsx"}));
  // Go: a package directory's non-test files; a one-part tail of a hosted path is not a match.
  EXPECT_EQ(names(r.resolve(9, "import (\n\t\"example.com/app/internal/db\"\n\t\"github.com/pkg/errors\"\n)")),
            (Strings{"internal/db/db.go", "internal/db/pool.go"}));
  ImportResolver with_module(ids, "example.com/app");
  EXPECT_EQ(names(with_module.resolve(9, "import \"example.com/app/errors\"")), (Strings{"errors/errors.go"}));
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "relevance-XXXXXX").string();
    path = ::mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path;
};

Strings result_ids(const RetrieveResult& r) {
  Strings out;
  for (const auto& f : r.files) out.push_back(json::py_str(f["id"]));
  return out;
}

void set_mtime(const std::string& path, const struct timespec& t) {
  struct timespec times[2] = {t, t};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(RelevanceIndexFile, KeptBesideTheGraphAndRebuiltWhenStale) {
  TempDir dir;
  const std::string graph_path = dir.path + "/info_graph.json";
  const std::string index = index_path(graph_path);
  auto a = graph_of({{"a/alpha.py", "def alpha(): pass"}, {"b/beta.py", "def betaa(): pass"}});
  auto b = graph_of({{"a/alpha.py", "def gamma(): pass"}, {"b/beta.py", "def alpha(): pass"}});
  const std::string text_a = json::dumps(a, {.indent = 2}), text_b = json::dumps(b, {.indent = 2});
  ASSERT_EQ(text_a.size(), text_b.size());
  fs::write_atomic(graph_path, text_a);

  // Built on first use, and answering as the in-memory ranker does.
  auto first = retrieve_file_relevance(graph_path, "alpha", 8, 40, {});
  ASSERT_TRUE(fs::exists(index));
  EXPECT_EQ(json::dumps(json::Value(first.files)),
            json::dumps(json::Value(materialise(a, select_relevance(a, "alpha", 8, 40, {})).files)));
  EXPECT_EQ(result_ids(first), (Strings{"a/alpha.py"}));
  const auto built = stat_signature(index);
  EXPECT_EQ(result_ids(retrieve_file_relevance(graph_path, "alpha", 8, 40, {})), (Strings{"a/alpha.py"}));
  EXPECT_EQ(stat_signature(index), built);  // used, not rebuilt

  // Same size and time, other bytes: the digest tells them apart.
  struct stat st;
  ASSERT_EQ(::stat(graph_path.c_str(), &st), 0);
  fs::write_atomic(graph_path, text_b);
  set_mtime(graph_path, st.st_mtim);
  EXPECT_EQ(result_ids(retrieve_file_relevance(graph_path, "alpha", 8, 40, {})).front(), "b/beta.py");

  // Rewritten in place (the same file), same size and time: its change time
  // tells, though the bytes are not read when the file is provably the same.
  fs::write_atomic(graph_path, text_a);
  set_mtime(graph_path, st.st_mtim);
  ::usleep(20000);  // the index is built a clock tick after the graph's last change
  EXPECT_EQ(result_ids(retrieve_file_relevance(graph_path, "alpha", 8, 40, {})).front(), "a/alpha.py");
  std::fstream(graph_path, std::ios::binary | std::ios::in | std::ios::out).write(text_b.data(), text_b.size());
  set_mtime(graph_path, st.st_mtim);
  EXPECT_EQ(result_ids(retrieve_file_relevance(graph_path, "alpha", 8, 40, {})).front(), "b/beta.py");

  // A damaged or foreign index is ignored and replaced.
  for (std::string junk : {std::string("garbage"), std::string(), std::string(4096, '\0')}) {
    fs::write_atomic(index, junk);
    EXPECT_EQ(result_ids(retrieve_file_relevance(graph_path, "alpha", 8, 40, {})).front(), "b/beta.py");
    EXPECT_TRUE(RelevanceIndex::open(fs::read_bytes(index)).has_value());
  }
  // Damage anywhere in an image is refused or harmless.
  const std::string image = fs::read_bytes(index);
  for (size_t at = 8; at < image.size(); at += 7) {
    std::string bad = image;
    bad[at] = static_cast<char>(bad[at] ^ 0x5a);
    if (auto ix = RelevanceIndex::open(bad)) rank_files(*ix, "alpha beta", 8);
  }
  // A broken graph fails as the heuristic ranker fails.
  fs::write_atomic(graph_path, "{\"nodes\": [");
  EXPECT_THROW(retrieve_file_relevance(graph_path, "alpha", 8, 40, {}), json::ParseError);
}

// What a query answers, or the error it raises, as text.
template <class F>
std::string outcome(F&& f) {
  try {
    const RetrieveResult r = f();
    return json::dumps(json::Value(r.files)) + "\n" + json::dumps(json::Value(r.edges));
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

TEST(RelevanceIndexFile, UnusualGraphsAnswerAsTheInMemoryRanker) {
  testkit::TempDir dir;
  const std::string path = dir / "info_graph.json";
  for (std::string text : {
           // Ids that are numbers, on nodes and edges; an edge end that is null.
           R"({"nodes": [{"id": 7, "kind": "file", "content": "alpha"}, {"id": "b.py", "content": "alpha beta"}],
               "edges": [{"from": 7, "to": "b.py", "rel": "imports"}, {"from": null, "to": "b.py", "rel": 1}]})",
           // A node id that is null (no id, not "None"), a summary that is not text, keywords that are not all text.
           R"({"nodes": [{"id": null, "content": "alpha"}, {"id": "None", "content": "alpha"}]})",
           R"({"nodes": [{"id": "a.py", "content": "alpha", "summary": 3}]})",
           R"({"nodes": [{"id": "a.py", "content": "alpha", "keywords": ["alpha", 2]}]})",
           // Repeated keys: the last value counts; an escaped key still names its field.
           R"({"nodes": [{"id": "a.py", "content": "zzz", "content": "alpha", "kind": "symbol", "kind": "file"}]})",
           R"({"nodes": [{"id": "a.py", "content": "zzz"}], "nodes": [{"id": "b.py", "content": "alpha"}]})",
           R"({"nodes": [{"i\u0064": "a.py", "content": "alpha"}, {"id": "b.py", "content": "alpha alpha"}]})",
           // Escapes in a text, decoded as the full reader decodes them (a lone surrogate as U+FFFD).
           R"({"nodes": [{"id": "a.py", "content": "x\u0041lpha \ud83d\ude00 \ud800 \"q\" \\ \/ \t"},
                         {"id": "b.py", "content": "alpha \\u0041"}]})",
           // Broken escapes in a text the walk leaves to the indexing threads.
           R"({"nodes": [{"id": "a.py", "content": "alpha \x41"}]})",
           R"({"nodes": [{"id": "a.py", "content": "alpha \u12G4"}]})",
           // A byte order mark; content that is not text; a list that is not one.
           "\xEF\xBB\xBF{\"nodes\": [{\"id\": \"a.py\", \"content\": \"alpha\"}]}",
           R"({"nodes": [{"id": "a.py", "content": ["alpha"], "summary": "alpha"}]})",
           R"({"nodes": {"id": "a.py"}})",
       }) {
    fs::write_atomic(path, text);
    std::filesystem::remove(index_path(path));
    const std::string from_file = outcome([&] { return retrieve_file_relevance(path, "alpha", 8, 40, {}); });
    const std::string in_memory = outcome([&] {
      const json::Value g = json::load_file(path);
      return materialise(g, select_relevance(g, "alpha", 8, 40, {}));
    });
    EXPECT_EQ(from_file, in_memory) << text;
  }
}

TEST(RelevanceIndexFile, CutShortFilesAreReadWholeOnlyWhenUnchanged) {
  const std::string text = std::string(30000, ' ') + "\ndef deep_needle(): pass\n";
  const struct timespec scanned = {1600000000, 0};
  struct Case {
    const char* what;
    std::string now;   // the file's text when the index is built
    bool touched;      // written after the graph
    const char* top;   // the first file for "deep_needle"
  };
  std::string tail_edited = text, head_edited = text;
  tail_edited.replace(tail_edited.find("needle"), 6, "noodle");
  head_edited[10] = 'x';
  for (const Case& c : {Case{"unchanged", text, false, "big.py"}, Case{"touched, same bytes", text, true, "big.py"},
                        Case{"tail edited", tail_edited, true, "small.py"},
                        Case{"head edited", head_edited, false, "small.py"},
                        Case{"grown", text + "x", false, "small.py"}}) {
    testkit::TempDir dir;
    auto g = graph_of({{"big.py", text.substr(0, 24000)}, {"small.py", "needle"}}, dir.path());
    auto& big = g.as_object().find("nodes")->as_array()[0].as_object();
    big.set("file_hash", md5_hex(text).substr(0, 8));  // the scanner's fingerprint: md5 of the whole text
    big.set("size", static_cast<long long>(text.size()));
    set_mtime(dir.write("big.py", text), scanned);
    const std::string graph_path = dir / "info_graph.json";
    fs::write_atomic(graph_path, json::dumps(g, {.indent = 2}));
    dir.write("big.py", c.now);
    if (!c.touched) set_mtime(dir / "big.py", scanned);
    EXPECT_EQ(result_ids(retrieve_file_relevance(graph_path, "deep_needle", 8, 40, {})).front(), c.top) << c.what;
    // A graph held in memory has no time to go by: the fingerprint decides.
    EXPECT_EQ(ranked(g, "deep_needle").front(), c.top) << c.what;
  }
}

// Two index images alike but for the clock their builds read.
bool same_but_clock(std::string_view a, std::string_view b) {
  return a.size() == b.size() && a.substr(0, 56) == b.substr(0, 56) && a.substr(64) == b.substr(64);
}

TEST(RelevanceIndexFile, RebuildFromAStaleIndexIsTheFullBuild) {
  testkit::TempDir dir;
  const std::string root = dir / "proj", graph_path = dir / "info_graph.json";
  const std::string big = "import util\n" + std::string(30000, ' ') + "\ndef deep_needle(): pass\n";
  dir.write("proj/app.py", "import util\nimport extra\ndef main(): util.run()\n");
  dir.write("proj/util.py", "def run(): return 1\n");
  dir.write("proj/big.py", big);
  dir.write("proj/web/index.ts", "import { run } from '../lib/run';\nexport function start() { run(); }\n");
  dir.write("proj/lib/run.ts", "export function run() {}\n");
  auto rescan = [&] { fs::write_atomic(graph_path, json::dumps(lexscan::scan(root), {.indent = 2})); };
  auto corrupt = [](std::string& image) { image[image.size() / 2] ^= 0x20; };
  struct Step {
    const char* what;
    std::function<void(std::string& previous)> change;
    size_t lent;  // of the files in the graph after the change
  };
  const Step steps[] = {
      {"nothing changed", [&](std::string&) { rescan(); }, 5},
      {"a file edited", [&](std::string&) { dir.write("proj/util.py", "def run(): return 2\n"), rescan(); }, 4},
      // app.py's import of extra now names a file, and index.ts's of run no longer does: both lent all the same.
      {"a file added", [&](std::string&) { dir.write("proj/extra.py", "X = 1\n"), rescan(); }, 5},
      {"a file removed", [&](std::string&) { std::filesystem::remove(root + "/lib/run.ts"), rescan(); }, 5},
      // Read whole from the project: changed there (same size, same graph), it is read again.
      {"a long file changed on disk only",
       [&](std::string&) {
         std::string edited = big;
         edited.replace(edited.find("needle"), 6, "noodle");
         dir.write("proj/big.py", edited);
       },
       4},
      {"files in another order",
       [&](std::string&) {
         json::Value g = json::load_file(graph_path);
         auto& nodes = g.as_object().find("nodes")->as_array();
         std::reverse(nodes.begin(), nodes.end());
         fs::write_atomic(graph_path, json::dumps(g, {.indent = 2}));
       },
       0},
      {"the stale index damaged", [&](std::string& previous) { corrupt(previous), rescan(); }, 0},
  };
  rescan();
  ::usleep(20000);  // each build a clock tick after the files' last change
  std::string previous = build_index_from_file(graph_path).value();
  for (const Step& step : steps) {
    step.change(previous);
    ::usleep(20000);
    const std::string full = build_index_from_file(graph_path).value();
    const auto ix = RelevanceIndex::open(previous);
    size_t lent = 0;
    const std::string rebuilt = ix ? build_index_from_file(graph_path, &*ix, &lent).value() : full;
    EXPECT_TRUE(same_but_clock(rebuilt, full)) << step.what;
    EXPECT_EQ(lent, step.lent) << step.what;
    previous = rebuilt;
  }

  // Then random changes, several at a time, held to the full build the same way.
  std::mt19937 rng(7);
  const char* words[] = {"alpha", "beta", "gamma", "parse", "header", "server", "import util", "import extra"};
  std::vector<std::string> files = {"app.py", "util.py", "big.py", "web/index.ts", "extra.py"};
  for (int round = 0; round < 30; ++round) {
    for (int change = rng() % 3; change >= 0; --change) {
      const std::string name = files[rng() % files.size()];
      const std::string word = words[rng() % std::size(words)];
      switch (rng() % 4) {
        case 0:  // an edit
          dir.write("proj/" + name, fs::read_bytes(root + "/" + name) + word + "\n");
          break;
        case 1:  // a new file, which may be imported already
          files.push_back("n" + std::to_string(round) + (rng() % 2 ? ".py" : ".ts"));
          dir.write("proj/" + files.back(), "import util\ndef " + word.substr(0, 5) + "(): pass\n");
          break;
        case 2:  // a file gone
          if (name != "big.py" && files.size() > 3) {
            std::filesystem::remove(root + "/" + name);
            std::erase(files, name);
          }
          break;
        case 3:  // the long file's tail
          dir.write("proj/big.py", big + word + "\n");
          break;
      }
    }
    rescan();
    const std::string full = build_index_from_file(graph_path).value();
    const auto ix = RelevanceIndex::open(previous);
    ASSERT_TRUE(ix);
    const std::string rebuilt = build_index_from_file(graph_path, &*ix).value();
    ASSERT_TRUE(same_but_clock(rebuilt, full)) << "round " << round;
    previous = rebuilt;
  }
}

TEST(Rankers, HeuristicStaysTheDefault) {
  ::unsetenv("KESTRUNE_RANKER");
  EXPECT_EQ(default_ranker(), Ranker::Heuristic);
  ::setenv("KESTRUNE_RANKER", "relevance", 1);
  EXPECT_EQ(default_ranker(), Ranker::Relevance);
  ::setenv("KESTRUNE_RANKER", "bm25", 1);
  EXPECT_THROW(default_ranker(), SettingError);
  ::unsetenv("KESTRUNE_RANKER");
  // The heuristic ranker by name answers exactly what retrieve() always answered.
  auto g = graph_of({{"src/api/orders.ts", "export function listOrders() {}"}, {"docs/orders.md", "# Orders"}});
  for (auto q : {"Why does GET /api/orders return 500?", "orders", ""})
    EXPECT_EQ(json::dumps(json::Value(retrieve(g, q, 20, 40, Ranker::Heuristic).files)),
              json::dumps(json::Value(retrieve(g, q, 20, 40).files)));
}

}  // namespace
}  // namespace kestrune::br
