// The scan driver both scanners share. A scanner says which files it takes
// and what it derives from one file's text; the driver does the rest: the
// walk's files read and analysed on all cores, earlier nodes reused, the
// graph assembled in walk order, and, for a scan into a graph file, the scan
// cache (scan_cache.h) that lets the next scan skip every unchanged file.
//
// What the cache may skip is only what depends on one file alone: its node,
// its symbols and its own edges. Everything that depends on the set of files
// (de-duplicating the edges, which earlier node an id reuses, the symbol
// index, the counts, a scanner's cross-file edges) is worked out again on
// every scan from the per-file results, so a scan with the cache writes what
// a scan without it would.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/json.h"
#include "kestrune/lexscan/graph.h"
#include "kestrune/lexscan/walk.h"

namespace kestrune::lexscan {

// One file's text as a scanner's extraction sees it.
struct FileText {
  const std::string& path;  // as walked
  const std::string& id;    // its node's id
  const std::string& ext;   // its lower-cased extension
  std::string_view text;    // decoded, line feeds only
  std::string_view cut;     // its first MAX_CONTENT_CHARS characters (the node's content)
  std::string_view md5;     // the hexadecimal MD5 digest of `text`
};

class Scanner {
 public:
  virtual ~Scanner() = default;
  // Who the scanner is, recorded in the cache: a cache is used only by the
  // scanner, and the build of it, that wrote it (scanner_identity()).
  virtual std::string identity() const = 0;
  // Hands each selected file to `found`, in walk order.
  virtual void walk(const std::string& root, const std::function<void(WalkedFile&&)>& found) const = 0;
  // The keywords and summary of a file whose earlier node is not reused.
  virtual void describe(const FileText& f, Node& node) const = 0;
  // The file's own edges and its symbols, in order; each symbol becomes a
  // node and a "contains" edge after the file's own edges.
  virtual void extract(const FileText& f, std::vector<Edge>& edges, std::vector<Symbol>& symbols) const = 0;
  // Edges that depend on the set of files (ids in walk order), after every
  // file's own, before de-duplication.
  virtual std::vector<Edge> cross_file_edges(const std::vector<std::string>& file_ids) const;
  // The graph's "ast_mode", for a scanner that writes one.
  virtual std::optional<bool> ast_mode() const;
};

// A scan of `root` (passed unchanged to the walk; its text is the graph's
// root). existing_nodes: file id -> earlier serialised file node (may be
// null): a file with the same fingerprint keeps that node. threads: 0 = all
// cores; the graph is the same for any number. Files that cannot be read are
// skipped; a root that is not a directory throws NotAProjectRoot (lexscan.h),
// and anything else that fails throws (the first failure in walk order).
Graph scan_graph(const Scanner& scanner, const std::string& root, const json::Object* existing_nodes,
                 unsigned threads, Render render);

struct RescanOptions {
  // Whether unchanged files keep their earlier nodes (and the cache spares
  // reading them). Without, every file is read and described afresh, as by
  // a first scan; the cache is still written for the scans that follow.
  bool reuse = true;
  bool symbol_index = true;  // write symbol_index.json beside the graph
  unsigned threads = 0;
};

struct RescanResult {
  size_t nodes = 0, symbols = 0, edges = 0;
  size_t indexed = 0;     // entries of the symbol index
  size_t files_read = 0;  // files read (the others came from the cache)
  bool graph_written = false;  // false when the graph file already held the new graph
};

// Scans `root` into the graph file `out` (its directory must exist): the
// earlier graph there is reused and the cache beside it used and replaced.
// The graph file is replaced only when its text changes, then the symbol
// index, then the cache; a cache that cannot be written is left out. Throws
// what scan_graph throws (before anything is written), and fs::OsError when
// the graph or index cannot be written.
RescanResult rescan(const Scanner& scanner, const std::string& root, const std::string& out,
                    const RescanOptions& options = {});

}  // namespace kestrune::lexscan
