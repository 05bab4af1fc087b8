// The scan cache: what the last scan derived from each file, kept beside the
// graph file, so that the next scan of the project reads only the files that
// changed. Both scanners keep one (scan_driver.h). The graph's nodes are not
// copied into it: it says where each file's nodes stand in the graph file,
// and is used only while that file is exactly the one it was written with.
//
// A record's strings are views into the bytes that hold it (the loaded
// cache's, or a file's own just after it was read), so loading a cache of
// thousands of files is one read and no allocation per string.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/file_signature.h"
#include "kestrune/base/fs.h"
#include "kestrune/lexscan/graph.h"

namespace kestrune::lexscan {

// A symbol node as the symbol index needs it (its path is its file's id).
struct SymbolRef {
  std::string_view id;
  int64_t line_start = 0, line_end = 0;
  std::string_view body_hash, confidence;
  bool operator==(const SymbolRef&) const = default;
};

// One file as the last scan saw it.
struct CachedFile {
  std::string_view path;  // as the walk gave it
  fs::FileStat stat{};    // before it was read
  std::string_view id, file_hash;
  // Its nodes in the graph file: its own node at [at, at + node_len), then,
  // after ",\n", its symbol nodes (joined by ",\n") up to at + text_len.
  uint64_t at = 0, node_len = 0, text_len = 0;
  // Whether no later file has its id: its node is then the one its id reuses.
  bool last_of_id = false;
  // Its symbols (in order) and its own edges (before de-duplication), packed.
  uint32_t symbol_count = 0, edge_count = 0;
  std::string_view symbols, edges;

  std::vector<SymbolRef> symbol_refs() const;
  // Appends the file's edges to `out`.
  void edge_refs(std::vector<EdgeRef>& out) const;
  bool operator==(const CachedFile&) const = default;
};

// A file's record with the bytes it views: `bytes` never moves.
struct OwnedFile {
  std::unique_ptr<std::string> bytes;
  CachedFile file;
};
OwnedFile pack_file(std::string_view path, const fs::FileStat& stat, std::string_view id, std::string_view file_hash,
                    std::span<const SymbolRef> symbols, std::span<const EdgeRef> edges);

struct ScanCache {
  std::string scanner{};  // who wrote it (scanner_identity)
  std::string root{};     // the graph's root
  int64_t began_ns = 0;   // when the scan that wrote it began (CLOCK_REALTIME)
  FileSignature graph{};  // the graph file it describes
  uint64_t edges = 0;     // the graph's edge count (after de-duplication)
  std::optional<FileSignature> symbol_index{};  // the symbol index written with it
  uint64_t indexed = 0;                         // that index's entries
  std::vector<CachedFile> files{};              // in walk order
  std::shared_ptr<const void> bytes{};          // what the files of a loaded cache view
};

// Where the cache of the graph file `graph_path` is kept: beside it.
std::string scan_cache_path(const std::string& graph_path);

// The cache's bytes: a versioned header, then the payload and its digest.
std::string encode_scan_cache(const ScanCache& cache);
// nullopt for anything that is not a whole cache of this format version.
std::optional<ScanCache> decode_scan_cache(std::string&& bytes);

// The cache at `path` when it is one of `scanner` for `root`; nullopt when it
// is missing, damaged, of another format version, scanner or root.
std::optional<ScanCache> load_scan_cache(const std::string& path, std::string_view scanner, std::string_view root);
// Replaces the cache at `path` whole. Throws fs::OsError.
void save_scan_cache(const std::string& path, const ScanCache& cache);

// How long after a scan began a file's times must lie before it for the scan
// to vouch for it: file times come from a coarser clock than CLOCK_REALTIME
// (a kernel tick, whole seconds on some file systems, two on FAT), so a file
// written just after the scan read it can carry the very times it had.
inline constexpr int64_t kRacyWindowNs = 2'000'000'000;

// Whether the file `cached` describes still has it: the same status in every
// field, and changed (ctime) and modified (mtime) before the window above,
// measured back from when the scan that recorded it began. Anything else is
// read again (git's "racily clean" rule for its index).
bool unchanged(const CachedFile& cached, const fs::FileStat& now, int64_t cache_began_ns);

// Now, as CLOCK_REALTIME tells it, in nanoseconds since the epoch.
int64_t realtime_ns();

// `name`, with the build of the code it is linked into: a cache written by
// another build, whose extraction may differ, is foreign.
std::string scanner_identity(std::string_view name);

}  // namespace kestrune::lexscan
