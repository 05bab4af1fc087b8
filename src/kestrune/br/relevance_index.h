// The relevance ranker's index of a graph: for every file, how often each
// term occurs in its path, its declarations, its keywords and summary, and its
// text; the files it imports; its symbols. Kept as one flat byte image, so the
// same reader serves an index just built in memory and one mapped from the
// file kept beside the graph.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/file_signature.h"
#include "kestrune/base/json.h"

namespace kestrune::br {

enum Field : int { kPathField, kDefsField, kMetaField, kBodyField, kFieldCount };

// What a file is for a reader: code, a test, documentation, or data (JSON,
// YAML: configuration, fixtures, generated tables).
enum class DocKind : uint8_t { Code, Test, Docs, Data };
DocKind doc_kind(std::string_view file_id);

// The identity of a term in the index: a 64-bit hash of its text (never 0).
uint64_t term_hash(std::string_view term);

inline constexpr uint32_t kNoNode = UINT32_MAX;

// Where the graph file holds one node or edge, and an edge's fields, for
// answering from the file without reading all of it.
struct TextRange {
  uint64_t offset = 0;
  uint32_t size = 0;
  uint32_t unused = 0;  // written as zeros: an image holds no stray bytes
};
struct IndexEdge {
  std::string_view from, to, rel;
  bool from_is_str = true, to_is_str = true;
  TextRange text;
};

// What tells, without reading it, that a graph file is still the one an index
// was made from: the same file (device, inode) not changed since (its change
// time, which every write moves and no caller can set). Zeros when unknown.
// As with a version control index's "racily clean" entries, it only counts
// for a file last changed before the clock tick in which the index began to
// read it: a change within that tick could leave the time as it was.
struct FileIdentity {
  uint64_t dev = 0, ino = 0;
  int64_t ctime_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};

// What one file's entry was made from, so that a later build can take the
// entry over while that is unchanged: a digest of what the graph says of the
// file (its node's text, its symbols' names), and, when the file was longer
// than the graph's copy of its text, whether it was read whole from the
// project and that file's status when it was; and the import specifiers its
// text holds, which name other files only through the project's file ids.
struct DocSource {
  enum Whole : uint32_t { kHead, kWhole, kHeadOnly };  // short / read whole / long, but not read
  uint64_t inputs = 0;  // 0: not known (a graph held in memory); never taken over
  uint64_t dev = 0, ino = 0;
  int64_t size = 0, mtime_ns = 0, ctime_ns = 0;
  uint32_t whole = kHead;
  uint32_t spec_begin = 0, spec_end = 0;  // bytes of the specifier lists
  uint32_t unused = 0;
  bool operator==(const DocSource&) const = default;
};

// Reads an index image. The small tables are checked at open(); the
// postings and import lists, most of the image, are checked as they are
// decoded, so a query reads only the few it needs. Damage makes a list end
// early, never a read out of bounds.
class RelevanceIndex {
 public:
  // nullopt when `bytes` is not a whole index image of this version.
  static std::optional<RelevanceIndex> open(std::string_view bytes);

  struct Doc {
    uint32_t node;  // its file node, or kNoNode when only its symbols are in the graph
    uint32_t first_node;  // its first node of either kind, to break ties as the graph orders them
    uint32_t sym_begin, sym_end;
    uint32_t imp_begin, imp_end;  // files it imports (bytes of the link lists)
    uint32_t by_begin, by_end;    // files importing it
    uint32_t id_offset, id_size;
    uint32_t len[kFieldCount];
    uint8_t kind;
    uint8_t pad[3];
  };
  struct Posting {
    uint32_t doc;
    uint8_t tf[kFieldCount];
  };
  struct Symbol {
    uint32_t node;
    uint32_t name_offset, name_size;
  };

  const FileSignature& graph_signature() const { return signature_; }
  // A digest of the project directory and Go module the files were read and resolved against.
  uint64_t project() const { return project_; }
  // Whether the image is whole as it was written (its checksum holds): open()
  // checks only what a query reads, this reads every byte.
  bool intact() const;
  const FileIdentity& graph_identity() const { return identity_; }
  // The coarse clock (file times' clock) when the graph was stat'ed to build this.
  int64_t identity_time_ns() const { return identity_time_ns_; }
  size_t doc_count() const { return docs_.size(); }
  const Doc& doc(size_t i) const { return docs_[i]; }
  std::string_view doc_id(const Doc& d) const { return strings_.substr(d.id_offset, d.id_size); }
  const DocSource& source(size_t i) const { return sources_[i]; }
  // The import specifiers of file `i`, and their bytes as the image holds them.
  std::vector<std::string_view> specifiers(size_t i) const;
  std::string_view specifier_bytes(size_t i) const {
    return specs_.substr(sources_[i].spec_begin, sources_[i].spec_end - sources_[i].spec_begin);
  }
  float avg_len(int field) const { return avg_len_[field]; }
  // The postings of a term in file order (empty when no file holds it).
  std::vector<Posting> postings(uint64_t term) const;
  // Every term, in hash order, and the postings of the one at `rank` (into `out`).
  std::span<const uint64_t> terms() const { return term_hashes_; }
  void postings_at(size_t rank, std::vector<Posting>& out) const;
  // The bytes of those postings as the image writes them (empty when damaged).
  std::string_view posting_list(size_t rank) const;
  size_t posting_bytes() const { return postings_.size(); }
  // The files `d` imports, and those importing it, in file order.
  std::vector<uint32_t> imports(const Doc& d) const { return links(d.imp_begin, d.imp_end); }
  std::vector<uint32_t> imported_by(const Doc& d) const { return links(d.by_begin, d.by_end); }
  std::span<const Symbol> symbols(const Doc& d) const { return symbols_.subspan(d.sym_begin, d.sym_end - d.sym_begin); }
  std::string_view symbol_name(const Symbol& s) const { return strings_.substr(s.name_offset, s.name_size); }

  // The graph file's layout, when the index was built from one.
  size_t node_count() const { return node_text_.size(); }
  bool has_ranges() const { return has_ranges_; }
  TextRange node_text(size_t i) const { return node_text_[i]; }
  size_t edge_count() const { return edges_.size(); }
  IndexEdge edge(size_t i) const;

 public:
  struct EdgeRecord {
    uint64_t text_offset;
    uint32_t text_size;
    uint32_t from_offset, from_size, to_offset, to_size, rel_offset, rel_size;
    uint32_t flags;
  };

 private:
  std::vector<uint32_t> links(uint32_t begin, uint32_t end) const;

  FileSignature signature_;
  FileIdentity identity_;
  int64_t identity_time_ns_ = 0;
  uint64_t project_ = 0, checksum_ = 0;
  std::string_view checked_;  // what the checksum covers
  float avg_len_[kFieldCount] = {};
  bool has_ranges_ = false;
  std::span<const Doc> docs_;
  std::span<const DocSource> sources_;
  std::span<const uint64_t> term_hashes_;
  std::span<const uint32_t> post_begin_;  // per term, where its postings start in postings_
  std::string_view postings_;            // per posting: file (varint, from the one before), field mask, counts
  std::string_view links_;               // per list: files (varint, from the one before)
  std::string_view specs_;               // per list: specifiers (varint length, bytes)
  std::span<const Symbol> symbols_;
  std::span<const TextRange> node_text_;
  std::span<const EdgeRecord> edges_;
  std::string_view strings_;
};

// Builds the index of a graph held in memory.
std::string build_index(const json::Value& graph);

// The index file kept beside a graph file.
std::string index_path(const std::string& graph_path);

// The size, time and identity of the open file `fd` (digest 0); nullopt when
// it is not a regular file. `clock_ns` receives the coarse clock's time read
// just before.
std::optional<std::pair<FileSignature, FileIdentity>> stat_graph(int fd, int64_t* clock_ns = nullptr);

// Builds the index image of the graph file at `path` straight from its text,
// recording where each node and edge is written; nullopt when the file needs
// the full reader (it is not plain valid JSON of the graph's layout).
//
// `previous`, an earlier image kept beside the same graph (stale, as a rescan
// leaves it), lends the entries of files unchanged since: their terms are not
// counted again. The image is the same, byte for byte, as one built without
// it, the build's clock excepted; a damaged or unrelated `previous` only
// lends nothing. It is read during the call only.
// `lent`, when given, receives how many files' entries were taken over.
std::optional<std::string> build_index_from_file(const std::string& path, const RelevanceIndex* previous = nullptr,
                                                 size_t* lent = nullptr);

}  // namespace kestrune::br
