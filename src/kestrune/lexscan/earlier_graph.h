// The graph file an earlier scan left, as the reuse of unchanged files needs
// it: for each file id, the node a file with the same fingerprint takes over.
//
// The reuse map of an earlier graph is its file nodes by id, the last one of
// an id winning; a reused node is the earlier node with only its fingerprint
// set again. When the earlier graph is in the very layout our writer gives
// it, that node's text in the file is already what the new graph must hold,
// so it is copied, never parsed or rendered. Graphs in other layouts are read
// as JSON (load_reuse_map).
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "kestrune/base/file_signature.h"
#include "kestrune/base/mapped_file.h"
#include "kestrune/lexscan/scan_cache.h"

namespace kestrune::lexscan {

class EarlierGraph {
 public:
  // The node an unchanged file takes over: its text at [at, at + len).
  struct Entry {
    uint64_t at = 0, len = 0;
    std::string_view file_hash;
  };

  // Maps the graph file at `path`; nothing there (missing, empty, not a
  // regular file) is an earlier graph with no text and no entries.
  explicit EarlierGraph(const std::string& path);

  std::string_view text() const { return file_.text(); }
  const fs::FileStat& stat() const { return file_.stat(); }
  bool empty() const { return file_.data() == nullptr; }
  // The file's signature: its size and time as mapped, and the digest of its
  // bytes (a pass over the whole file; callers may run it on another thread).
  FileSignature signature() const;

  // Entries from the cache written with this graph (they view its strings;
  // the map is built at the first find()). False, with no entries, when a
  // file's place lies outside the text.
  bool index(const ScanCache& cache);
  // Entries from the text itself. False, with no entries, unless the text is
  // laid out exactly as our writer lays a graph out (then it is valid JSON
  // that json.loads reads as the index says, and every node's text is what
  // writing that node gives).
  bool index_layout();

  // Safe to call from several threads at once.
  const Entry* find(std::string_view id) const;
  size_t size() const;

 private:
  // Keys and fingerprints view the text, the cache, or `decoded_`.
  std::string_view keep(std::string&& s);

  void build() const;

  fs::MappedFile file_;
  const ScanCache* cache_ = nullptr;  // entries still to be built from it
  mutable std::once_flag built_;
  mutable std::unordered_map<std::string_view, Entry> entries_;
  std::deque<std::string> decoded_;
};

}  // namespace kestrune::lexscan
