// Rescans into a graph file: the scan cache, and the reuse of the earlier graph.
// The yardstick throughout is the plain reuse of an earlier graph: the graph
// read as JSON into a reuse map, every file read, the graph written from nodes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "common/testkit.h"
#include "kestrune/base/fs.h"
#include "kestrune/lexscan/earlier_graph.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/scan.h"
#include "kestrune/lexscan/scan_cache.h"

namespace kestrune::lexscan {
namespace {

namespace stdfs = std::filesystem;
using testkit::slurp;
using testkit::TempDir;

constexpr int64_t kHour = 3600LL * 1000000000;

struct Written {
  std::string graph, index;
  size_t nodes = 0, symbols = 0, edges = 0;
  bool operator==(const Written&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Written& w) {
  return os << w.nodes << " nodes, " << w.symbols << " symbols, " << w.edges << " edges\n" << w.graph;
}

// What reusing the graph at `earlier` gives, the plain way.
Written plain_rescan(const std::string& root, const std::string& earlier) {
  json::Object reuse = load_reuse_map(earlier);
  Graph g = scan_graph(root, &reuse, 1, Render::No);
  TempDir d;
  write_graph_files(g, d / "info_graph.json");
  return {slurp(d / "info_graph.json"), slurp(d / "symbol_index.json"), g.nodes.size(), g.symbol_count(), g.edges.size()};
}

Written rescanned(const std::string& root, const std::string& out, RescanResult* result = nullptr) {
  const RescanResult r = rescan(regex_scanner(), root, out);
  if (result) *result = r;
  return {slurp(out), slurp(stdfs::path(out).parent_path() / "symbol_index.json"), r.nodes, r.symbols, r.edges};
}

// Moves the cache's clock: as if the scan that wrote it had begun `by` later
// (files written by the test a moment ago then count as settled).
void age_cache(const std::string& out, int64_t by = kHour) {
  std::optional<ScanCache> c = decode_scan_cache(slurp(scan_cache_path(out)));
  ASSERT_TRUE(c);
  c->began_ns += by;
  save_scan_cache(scan_cache_path(out), *c);
}

void copy_file(const std::string& from, const std::string& to) {
  stdfs::create_directories(stdfs::path(to).parent_path());
  stdfs::copy_file(from, to, stdfs::copy_options::overwrite_existing);
}

// ---- the cache file ---------------------------------------------------------

ScanCache sample_cache() {
  ScanCache c{"lexscan build x", "/p", 1700000000000000000, {10, 20, 30}, 5, FileSignature{1, 2, 3}, 1, {}, {}};
  static const std::vector<SymbolRef> symbols{{"a.ts::f", 0, 2, "abcd1234", "high"}};
  static const std::vector<Edge> edges{{"a.ts", "./b", "imports"}, {"other", "x", "references"}};
  static OwnedFile a = pack_file("/p/a.ts", {12, 3, 4, 5, 6, 0100644}, "a.ts", "0123abcd", symbols,
                                 std::vector<EdgeRef>(edges.begin(), edges.end()));
  static OwnedFile b = pack_file("/p/\xff.md", {}, "\xff.md", "", {}, {});
  c.files = {a.file, b.file};
  c.files[0].at = 100;
  c.files[0].node_len = 50;
  c.files[0].text_len = 80;
  return c;
}

TEST(ScanCacheFile, ReadsBackWhatItWroteAndNothingDamaged) {
  const ScanCache c = sample_cache();
  const std::string bytes = encode_scan_cache(c);
  std::optional<ScanCache> back = decode_scan_cache(std::string(bytes));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->scanner, c.scanner);
  EXPECT_EQ(back->began_ns, c.began_ns);
  EXPECT_EQ(back->graph, c.graph);
  EXPECT_EQ(back->symbol_index, c.symbol_index);
  EXPECT_EQ(back->files, c.files);
  EXPECT_EQ(back->files[0].symbol_refs(), c.files[0].symbol_refs());
  std::vector<EdgeRef> edges;
  back->files[0].edge_refs(edges);
  EXPECT_EQ(edges, (std::vector<EdgeRef>{{"a.ts", "./b", "imports"}, {"other", "x", "references"}}));

  // Cut anywhere, or any byte changed: no cache at all.
  for (size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(decode_scan_cache(bytes.substr(0, n))) << n;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string bad = bytes;
    bad[i] = static_cast<char>(bad[i] ^ 0x20);
    EXPECT_FALSE(decode_scan_cache(std::move(bad))) << i;
  }
  EXPECT_FALSE(decode_scan_cache(bytes + "x"));
}

TEST(ScanCacheFile, UnchangedOnlyWhenEveryFieldMatchesAndTheChangeIsSettled) {
  const int64_t began = 1000 * kHour;
  const fs::FileStat old{100, began - 10 * kRacyWindowNs, began - 10 * kRacyWindowNs, 7, 8, 0100644};
  CachedFile f;
  f.stat = old;
  EXPECT_TRUE(unchanged(f, old, began));
  struct Case {
    const char* what;
    void (*change)(fs::FileStat&);
  };
  const Case cases[] = {
      {"size", [](fs::FileStat& s) { s.size++; }},
      {"mtime", [](fs::FileStat& s) { s.mtime_ns++; }},
      {"ctime", [](fs::FileStat& s) { s.ctime_ns++; }},
      {"inode", [](fs::FileStat& s) { s.ino++; }},
      {"device", [](fs::FileStat& s) { s.dev++; }},
      {"mode", [](fs::FileStat& s) { s.mode = 0100000; }},
  };
  for (const Case& c : cases) {
    fs::FileStat now = old;
    c.change(now);
    EXPECT_FALSE(unchanged(f, now, began)) << c.what;
  }
  // The same status, but changed too close to the scan that recorded it: a
  // write just after the read can have left every field as it was.
  for (int64_t fs::FileStat::*time : {&fs::FileStat::mtime_ns, &fs::FileStat::ctime_ns}) {
    f.stat = old;
    f.stat.*time = began - kRacyWindowNs;
    EXPECT_FALSE(unchanged(f, f.stat, began));
    f.stat.*time = began - kRacyWindowNs - 1;
    EXPECT_TRUE(unchanged(f, f.stat, began));
    f.stat.*time = began + kHour;  // in the future
    EXPECT_FALSE(unchanged(f, f.stat, began));
  }
}

// ---- the earlier graph's layout -----------------------------------------------

TEST(EarlierGraphLayout, OnlyTheWritersOwnLayoutIsCopiedFrom) {
  TempDir d;
  d.write("p/a.ts", "export function useA() {}\n");
  d.write("p/caf\xc3\xa9.md", "# caf\xc3\xa9 \\ \"x\" \t\x7f\n");
  d.write("p/b.py", "import os\n");
  const Graph g = scan_graph(d / "p", nullptr, 1, Render::No);
  const std::string text = g.serialise();
  auto index = [&](const std::string& t) {
    d.write("g.json", t);
    EarlierGraph e(d / "g.json");
    return e.index_layout() ? e.size() : 0;
  };
  ASSERT_EQ(index(text), 3u);
  {
    EarlierGraph e(d / "g.json");
    ASSERT_TRUE(e.index_layout());
    const EarlierGraph::Entry* a = e.find("caf\xc3\xa9.md");  // an escaped id, decoded
    ASSERT_TRUE(a);
    const std::string_view node = e.text().substr(a->at, a->len);
    EXPECT_TRUE(node.starts_with("    {\n      \"id\": \"caf\\u00e9.md\",")) << node;
    EXPECT_TRUE(node.ends_with("\"\n    }")) << node;
    for (const Node& n : g.nodes) {
      if (n.id == "caf\xc3\xa9.md") {
        EXPECT_EQ(a->file_hash, n.file_hash);
      }
    }
    EXPECT_FALSE(e.find("a.ts::useA"));  // symbols are never reused
  }
  // json.loads reads each of these as it reads the writer's text, but writing
  // it back gives other bytes: they are read as JSON instead.
  auto replaced = [&](std::string_view from, std::string_view to) {
    std::string t = text;
    const size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return t.replace(at, from.size(), to);
  };
  const std::string variants[] = {
      "\xef\xbb\xbf" + text,
      text + "\n",
      replaced("\\u00e9", "\\u00E9"),
      replaced("\\u00e9", "\xc3\xa9"),
      replaced("\"ext\": \".ts\"", "\"ext\": \"\\u002ets\""),
      replaced("\"ext\": \".ts\"", "\"ext\":  \".ts\""),
      replaced("\\t", "\\u0009"),
      replaced("\\u007f", "\x7f"),
      replaced("\"size\": 26", "\"size\": 26.0"),
      replaced("\"size\": 26", "\"size\": 026"),
      replaced("\"line_start\": 0", "\"line_start\": -0"),
      replaced("\"edge_count\": ", "\"edge_count\": 0"),
      replaced("\n  ]\n}", "\n  ],\n  \"x\": 1\n}"),
      replaced("\"kind\": \"file\"", "\"kind\": \"File\""),
  };
  for (const std::string& v : variants) EXPECT_EQ(index(v), 0u) << v;
  EXPECT_EQ(index(replaced("\n}", ",\n  \"ast_mode\": true\n}")), 3u);
}

// ---- rescans --------------------------------------------------------------------

// A small project with links: a linked file, and a linked directory whose
// files are walked twice under one id.
class Rescan : public ::testing::Test {
 protected:
  void SetUp() override {
    root = d.mkdir("proj");
    d.write("proj/src/a.ts", "import { b } from './b';\nexport function useA() {\n  return b;\n}\n");
    d.write("proj/src/b.py", "import os\n\ndef b():\n    return os.sep\n");
    d.write("proj/src/c.cs", "using System;\npublic class C { public void Run() {} }\n");
    d.write("proj/docs/readme.md", "See src/a.ts and docs/readme.md.\n");
    d.write("proj/docs/conf.json", "{\"x\": \"src/b.py\"}\n");
    d.write("proj/other/d.ts", "export const useD = () => 1;\n");
    d.link("src/a.ts", "proj/alias.ts");
    d.link("src", "proj/lnk");
    stdfs::create_hard_link(root + "/src/a.ts", root + "/other/a_too.ts");
    out = d / "out/info_graph.json";
    d.mkdir("out");
  }

  TempDir d;
  std::string root, out;
};

TEST_F(Rescan, AnUnchangedTreeIsNotReadAndItsGraphNotRewritten) {
  const Written first = rescanned(root, out);
  EXPECT_EQ(first, plain_rescan(root, d / "none.json"));
  const auto written = stdfs::last_write_time(out);
  age_cache(out);
  RescanResult r;
  EXPECT_EQ(rescanned(root, out, &r), first);
  EXPECT_EQ(r.files_read, 0u);
  EXPECT_FALSE(r.graph_written);
  EXPECT_EQ(stdfs::last_write_time(out), written);

  // A missing symbol index is written again, without reading a file.
  stdfs::remove(d / "out/symbol_index.json");
  EXPECT_EQ(rescanned(root, out, &r), first);
  EXPECT_EQ(r.files_read, 0u);

  // A file written since is read, the same text or not, and only it.
  age_cache(out);
  d.write("proj/src/b.py", "import os\n\ndef b():\n    return os.sep\n");
  EXPECT_EQ(rescanned(root, out, &r), first);
  EXPECT_EQ(r.files_read, 2u);  // through the linked directory too
  EXPECT_FALSE(r.graph_written);
}

// The tree changes step by step; after each step a rescan with the cache, one
// without it (over a copy of the same earlier graph) and the plain reuse of
// that graph all write the same files.
TEST_F(Rescan, ChangesInAnyOrderGiveWhatAScanWithoutTheCacheGives) {
  std::mt19937 rng(14);
  auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
  auto files = [&] {
    std::vector<std::string> out_files;
    for (auto it = stdfs::recursive_directory_iterator(root); it != stdfs::recursive_directory_iterator(); ++it)
      if (it->is_regular_file() && !it->is_symlink()) out_files.push_back(it->path());
    return out_files;
  };
  auto text = [&](size_t n) {
    static const char* lines[] = {"export function useThing() {\n}\n", "def helper():\n    pass\n",
                                  "import json\n", "See docs/readme.md for src/a.ts.\n", "class Model:\n    x = 1\n",
                                  "const z = require('fs');\n", "# title\r\n"};
    std::string t;
    for (size_t i = 0; i < n; ++i) t += lines[rng() % std::size(lines)];
    return t;
  };
  auto set_times = [](const std::string& path, const struct stat& st) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  };
  const std::vector<std::string> exts = {".ts", ".py", ".md", ".json", ".cs", ".yaml", ".txt"};
  const std::vector<std::string> dirs = {"src", "docs", "other", "other/deep"};
  int added = 0;

  struct Step {
    const char* what;
    std::function<void()> act;
  };
  const std::vector<Step> steps = {
      {"edit", [&] { d.write(pick(files()).substr(d.path().size() + 1), text(1 + rng() % 4)); }},
      {"touch without change", [&] { ::utimensat(AT_FDCWD, pick(files()).c_str(), nullptr, 0); }},
      {"same-size edit, times kept",
       [&] {
         const std::string f = pick(files());
         struct stat st;
         if (::stat(f.c_str(), &st) != 0) return;
         std::string t = slurp(f);
         if (t.empty()) return;
         t[rng() % t.size()] = 'Q';
         std::ofstream(f, std::ios::binary | std::ios::trunc) << t;
         set_times(f, st);
       }},
      {"line endings only",
       [&] {
         const std::string f = pick(files());
         std::string t = slurp(f), crlf;
         for (char c : t) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
         std::ofstream(f, std::ios::binary | std::ios::trunc) << crlf;
       }},
      {"rename",
       [&] {
         const std::string to = root + "/" + pick(dirs) + "/r" + std::to_string(++added) + pick(exts);
         stdfs::create_directories(stdfs::path(to).parent_path());
         stdfs::rename(pick(files()), to);
       }},
      {"delete", [&] { stdfs::remove(pick(files())); }},
      {"add", [&] { d.write("proj/" + pick(dirs) + "/n" + std::to_string(++added) + pick(exts), text(1 + rng() % 3)); }},
      {"unreadable or readable again",
       [&] {
         const std::string f = pick(files());
         struct stat st;
         if (::stat(f.c_str(), &st) == 0) ::chmod(f.c_str(), (st.st_mode & 0777) == 0 ? 0644 : 0);
       }},
      {"file link retargeted",
       [&] {
         stdfs::remove(root + "/alias.ts");
         stdfs::create_symlink(pick(files()).substr(root.size() + 1), root + "/alias.ts");
       }},
      {"file link moved between two names of one file",
       [&] {
         const std::string to = stdfs::read_symlink(root + "/alias.ts") == "src/a.ts" ? "other/a_too.ts" : "src/a.ts";
         stdfs::remove(root + "/alias.ts");
         stdfs::create_symlink(to, root + "/alias.ts");
       }},
      {"directory link retargeted",
       [&] {
         stdfs::remove(root + "/lnk");
         stdfs::create_directories(root + "/other/deep");
         stdfs::create_symlink(pick(dirs), root + "/lnk");
       }},
  };

  rescanned(root, out);
  const std::string copy = d / "copy/info_graph.json";
  for (int i = 0; i < 60; ++i) {
    const Step& step = steps[rng() % steps.size()];
    if (files().size() < 3) d.write("proj/src/refill.ts", text(2));
    age_cache(out);
    copy_file(out, copy);  // the earlier graph, without its cache
    step.act();
    SCOPED_TRACE(std::to_string(i) + ": " + step.what);
    const Written expected = plain_rescan(root, copy);
    const Written with_cache = rescanned(root, out);
    EXPECT_EQ(with_cache, expected);
    EXPECT_EQ(rescanned(root, copy), expected);  // no cache beside it: the earlier graph's own layout
    ASSERT_FALSE(HasFailure());
  }
}

TEST_F(Rescan, AGraphChangedSinceTheCacheWasWrittenDisablesTheCache) {
  rescanned(root, out);
  age_cache(out);
  // Edited by hand, size and time kept: the cache's nodes are not those of the graph.
  std::string graph = slurp(out);
  const size_t at = graph.find("\"summary\": \"See src");
  ASSERT_NE(at, std::string::npos) << graph;
  graph[at + 12] = 's';
  const struct stat before = [&] {
    struct stat st;
    ::stat(out.c_str(), &st);
    return st;
  }();
  std::ofstream(out, std::ios::binary | std::ios::trunc) << graph;
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ::utimensat(AT_FDCWD, out.c_str(), times, 0);
  const std::string copy = d / "copy/info_graph.json";
  copy_file(out, copy);

  RescanResult r;
  const Written w = rescanned(root, out, &r);
  EXPECT_EQ(w, plain_rescan(root, copy));
  EXPECT_NE(w.graph.find("\"summary\": \"see src"), std::string::npos);  // reused as the earlier graph holds it
  EXPECT_GT(r.files_read, 5u);
}

TEST_F(Rescan, ADamagedOrForeignCacheIsIgnoredAndReplaced) {
  const Written first = rescanned(root, out);
  age_cache(out);
  const std::string cache = scan_cache_path(out);
  const std::string good = slurp(cache);
  struct Case {
    const char* what;
    std::function<void()> damage;
  };
  auto with_byte = [&](size_t at, char c) {
    std::string bad = good;
    bad[at] = c;
    d.write("out/info_graph.json.scan_cache", bad);
  };
  auto rewrite = [&](auto&& change) {
    std::optional<ScanCache> c = decode_scan_cache(std::string(good));
    change(*c);
    save_scan_cache(cache, *c);
  };
  const Case cases[] = {
      {"missing", [&] { stdfs::remove(cache); }},
      {"empty", [&] { d.write("out/info_graph.json.scan_cache", ""); }},
      {"cut short", [&] { d.write("out/info_graph.json.scan_cache", good.substr(0, good.size() / 2)); }},
      {"a byte changed", [&] { with_byte(good.size() / 2, static_cast<char>(good[good.size() / 2] ^ 1)); }},
      {"another format version", [&] { with_byte(20, '\x07'); }},
      {"another root", [&] { rewrite([](ScanCache& c) { c.root += "x"; }); }},
      {"another scanner", [&] { rewrite([](ScanCache& c) { c.scanner = "treescan" + c.scanner; }); }},
      {"a directory", [&] { stdfs::remove(cache); stdfs::create_directory(cache); }},
      // Wrong but well formed: a file's place beyond the graph's end.
      {"places out of range", [&] { rewrite([](ScanCache& c) { c.files.back().at = 1u << 30; }); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.damage();
    RescanResult r;
    EXPECT_EQ(rescanned(root, out, &r), first);
    EXPECT_GT(r.files_read, 5u);
    if (!stdfs::is_directory(cache)) {
      EXPECT_TRUE(decode_scan_cache(slurp(cache)));  // replaced by a good one
    } else {
      stdfs::remove(cache);
    }
    d.write("out/info_graph.json.scan_cache", good);
  }
}

// Killed at any moment, a scan leaves the old cache or the new one, never a
// torn one, and the next scan writes what it should.
TEST_F(Rescan, AScanKilledAnywhereLeavesAUsableCache) {
  for (int i = 0; i < 300; ++i)
    d.write("proj/many/f" + std::to_string(i) + ".ts",
            "export function useF" + std::to_string(i) + "() {\n  return '" + std::string(2000, 'x') + "';\n}\n");
  const std::string lexscan = testkit::bin_dir() + "/lexscan";
  rescanned(root, out);
  const std::string copy = d / "copy/info_graph.json";
  for (int delay_us : {0, 500, 1000, 2000, 4000, 8000, 15000, 30000, 60000}) {
    SCOPED_TRACE(delay_us);
    d.write("proj/many/f7.ts", "export function changed" + std::to_string(delay_us) + "() {}\n");
    copy_file(out, copy);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::execl(lexscan.c_str(), "lexscan", "--root", root.c_str(), "--out", out.c_str(), nullptr);
      ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (stdfs::exists(scan_cache_path(out))) {
      EXPECT_TRUE(decode_scan_cache(slurp(scan_cache_path(out))));
    }
    // Whichever graph the kill left is the earlier one now.
    copy_file(out, copy);
    EXPECT_EQ(rescanned(root, out), plain_rescan(root, copy));
  }
}

TEST_F(Rescan, CommandReportsTheSameLinesWithAndWithoutTheCache) {
  const std::vector<std::string> args = {"--root", root, "--out", "out/info_graph.json"};
  const testkit::Output first = testkit::run_command("lexscan", args, d.path());
  ASSERT_EQ(first.status, 0) << first.err;
  // Eleven files, four of them twice under one id (through the links).
  EXPECT_EQ(first.out, "Scanned: 11 files, 11 symbols, 13 edges\nWrote: out/info_graph.json\n"
                       "Symbol index: out/symbol_index.json (6 symbols)\n");
  age_cache(out);
  EXPECT_EQ(testkit::run_command("lexscan", args, d.path()).out, first.out);
  stdfs::remove(scan_cache_path(out));
  EXPECT_EQ(testkit::run_command("lexscan", args, d.path()).out, first.out);
}

}  // namespace
}  // namespace kestrune::lexscan
