// The relevance index reader over damaged images: the index is a file kept
// beside the graph, and a torn or foreign one must make lists end early,
// never a read out of bounds. The input is a query line, then the image
// after its magic (added here, so that mutations reach the tables).
//
// The image is also lent to a rebuild of a small graph, as a stale index is
// after a rescan; its checksum is made to hold, so that damaged lists reach
// the merge. A rebuild that took nothing over must be the full build.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/file_signature.h"
#include "kestrune/base/fs.h"
#include "kestrune/br/relevance.h"
#include "kestrune/br/relevance_index.h"

using namespace kestrune;

namespace {

// Files of each language whose imports are resolved, and a symbol.
constexpr std::string_view kGraph = R"({"root": "", "nodes": [
{"id": "app/main.py", "kind": "file", "size": 40, "keywords": ["main"], "content": "import app.util\ndef main(): util.run()\n", "summary": "main", "file_hash": "0a1b2c3d"},
{"id": "app/main.py::main", "kind": "symbol", "name": "main", "keywords": ["main"]},
{"id": "app/util.py", "kind": "file", "size": 20, "keywords": [], "content": "def run(): return 1\n", "summary": "", "file_hash": "1a1b2c3d"},
{"id": "web/index.ts", "kind": "file", "size": 50, "keywords": ["start"], "content": "import { run } from './lib';\nexport function start() { run(); }\n", "summary": "", "file_hash": "2a1b2c3d"},
{"id": "web/lib.ts", "kind": "file", "size": 30, "keywords": [], "content": "export function run() {}\n", "summary": "", "file_hash": "3a1b2c3d"},
{"id": "cmd/server.go", "kind": "file", "size": 60, "keywords": [], "content": "package main\nimport \"pkg\"\nfunc main() { pkg.Serve() }\n", "summary": "", "file_hash": "4a1b2c3d"},
{"id": "pkg/pkg.go", "kind": "file", "size": 30, "keywords": [], "content": "package pkg\nfunc Serve() {}\n", "summary": "", "file_hash": "5a1b2c3d"}
], "edges": [{"from": "app/main.py", "to": "app/main.py::main", "rel": "contains"}]}
)";

const std::string& graph_path() {
  static const std::string path = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "relevance-fuzz-XXXXXX").string();
    if (!::mkdtemp(dir.data())) std::abort();
    fs::write_atomic(dir + "/info_graph.json", kGraph);
    return dir + "/info_graph.json";
  }();
  return path;
}

// Where the image keeps its checksum, and where what it covers begins
// (checked against a real image below).
constexpr size_t kChecksumAt = 96, kCheckedFrom = 104;

bool same_but_clock(std::string_view a, std::string_view b) {
  return a.size() == b.size() && a.substr(0, 56) == b.substr(0, 56) && a.substr(64) == b.substr(64);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string full = [] {
    std::string image = br::build_index_from_file(graph_path()).value();
    uint64_t checksum;
    std::memcpy(&checksum, image.data() + kChecksumAt, sizeof checksum);
    if (checksum != digest64(std::string_view(image).substr(kCheckedFrom))) std::abort();  // the layout moved
    return image;
  }();
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const size_t eol = all.find('\n');
  if (eol == std::string_view::npos) return 0;
  const std::string_view query = all.substr(0, eol), body = all.substr(eol + 1);

  constexpr char magic[8] = {'K', 'R', 'E', 'L', 'I', 'D', 'X', '4'};
  const size_t n = sizeof magic + body.size();
  std::vector<uint64_t> storage((n + 7) / 8);  // the reader wants 8-byte alignment
  char* image = reinterpret_cast<char*>(storage.data());
  std::memcpy(image, magic, sizeof magic);
  if (!body.empty()) std::memcpy(image + sizeof magic, body.data(), body.size());
  if (n >= kCheckedFrom) {
    const uint64_t checksum = digest64(std::string_view(image + kCheckedFrom, n - kCheckedFrom));
    std::memcpy(image + kChecksumAt, &checksum, sizeof checksum);
  }

  const auto index = br::RelevanceIndex::open(std::string_view(image, n));
  if (!index) return 0;
  for (const br::RankedFile& f : br::rank_files(*index, query, 8)) {
    for (const auto& s : index->symbols(index->doc(f.doc))) (void)index->symbol_name(s);
  }
  for (size_t i = 0; i < index->edge_count() && i < 64; ++i) (void)index->edge(i);

  size_t lent = 0;
  const std::string rebuilt = br::build_index_from_file(graph_path(), &*index, &lent).value();
  if (!br::RelevanceIndex::open(rebuilt)) std::abort();
  if (lent == 0 && !same_but_clock(rebuilt, full)) std::abort();
  return 0;
}
