#include "kestrune/br/relevance_index.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/br/relevance_format.h"

namespace kestrune::br {

using namespace image;

DocKind doc_kind(std::string_view id) {
  const std::string low = text::lower(id);
  const std::string_view name = std::string_view(low).substr(low.rfind('/') + 1);
  const std::string_view dir = std::string_view(low).substr(0, low.size() - name.size());
  const std::string ext = fs::suffix(name);
  if (ext == ".md" || ext == ".rst" || ext == ".txt" || ext == ".adoc") return DocKind::Docs;
  const std::string slashed = std::string("/").append(dir);
  for (std::string_view d : {"/test/", "/tests/", "/__tests__/", "/testdata/", "/spec/", "/__mocks__/", "/fixtures/"})
    if (slashed.find(d) != std::string::npos) return DocKind::Test;
  if (name.starts_with("test_") || name == "conftest.py" || name == "tests.py") return DocKind::Test;
  const std::string_view stem = name.substr(0, name.size() - ext.size());
  if (stem.ends_with("_test") || stem.ends_with(".test") || stem.ends_with(".spec") || stem.ends_with("_spec") ||
      stem.ends_with(".test-d"))
    return DocKind::Test;
  if (ext == ".json" || ext == ".yaml" || ext == ".yml" || ext == ".toml" || ext == ".xml" || ext == ".csv" ||
      ext == ".lock" || ext == ".xaml")
    return DocKind::Data;
  return DocKind::Code;
}

uint64_t term_hash(std::string_view term) { return hash_word(term.data(), term.size(), term.data() + term.size()); }

// ---- reading ----------------------------------------------------------------

namespace {

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  template <class T>
  bool get(T& v) {
    if (bytes_.size() - pos_ < sizeof v || pos_ > bytes_.size()) return false;
    std::memcpy(&v, bytes_.data() + pos_, sizeof v);
    pos_ += sizeof v;
    return true;
  }
  template <class T>
  bool span(std::span<const T>& out) {
    uint64_t n;
    if (!get(n) || n > (bytes_.size() - pos_) / sizeof(T)) return false;
    if (reinterpret_cast<uintptr_t>(bytes_.data() + pos_) % alignof(T)) return false;
    out = {reinterpret_cast<const T*>(bytes_.data() + pos_), static_cast<size_t>(n)};
    pos_ += n * sizeof(T);
    while (pos_ % 8 && pos_ < bytes_.size()) ++pos_;
    return true;
  }
  bool bytes(std::string_view& out) {
    uint64_t n;
    if (!get(n) || n > bytes_.size() - pos_) return false;
    out = bytes_.substr(pos_, n);
    pos_ += n;
    while (pos_ % 8 && pos_ < bytes_.size()) ++pos_;
    return true;
  }
  size_t pos() const { return pos_; }
  bool rest(std::string_view& out) {
    uint64_t n;
    if (!get(n) || n != bytes_.size() - pos_) return false;
    out = bytes_.substr(pos_);
    pos_ = bytes_.size();
    return true;
  }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<RelevanceIndex> RelevanceIndex::open(std::string_view bytes) {
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
  if (reinterpret_cast<uintptr_t>(bytes.data()) % 8) return std::nullopt;
  RelevanceIndex ix;
  Reader r(bytes.substr(sizeof kMagic));
  // The reader's offsets are relative to the magic's end, which keeps 8-byte alignment.
  uint32_t ranges, reserved;
  if (!r.get(ix.signature_.size) || !r.get(ix.signature_.mtime_ns) || !r.get(ix.signature_.digest) ||
      !r.get(ix.identity_.dev) || !r.get(ix.identity_.ino) || !r.get(ix.identity_.ctime_ns) ||
      !r.get(ix.identity_time_ns_))
    return std::nullopt;
  for (float& a : ix.avg_len_)
    if (!r.get(a)) return std::nullopt;
  if (!r.get(ranges) || !r.get(reserved) || !r.get(ix.project_) || !r.get(ix.checksum_)) return std::nullopt;
  ix.has_ranges_ = ranges != 0;
  ix.checked_ = bytes.substr(sizeof kMagic + r.pos());
  if (!r.span(ix.docs_) || !r.span(ix.sources_) || !r.span(ix.term_hashes_) || !r.span(ix.post_begin_) || !r.bytes(ix.postings_) ||
      !r.bytes(ix.links_) || !r.bytes(ix.specs_) || !r.span(ix.symbols_) || !r.span(ix.node_text_) || !r.span(ix.edges_) ||
      !r.rest(ix.strings_))
    return std::nullopt;
  // What an accessor reaches directly is checked here; lists as they are read.
  if (ix.post_begin_.size() != ix.term_hashes_.size() + 1 || ix.post_begin_.back() != ix.postings_.size() ||
      ix.sources_.size() != ix.docs_.size())
    return std::nullopt;
  auto in = [](uint64_t off, uint64_t size, uint64_t total) { return off <= total && size <= total - off; };
  for (const Doc& d : ix.docs_) {
    if (d.sym_begin > d.sym_end || d.sym_end > ix.symbols_.size() || d.imp_begin > d.imp_end ||
        d.imp_end > ix.links_.size() || d.by_begin > d.by_end || d.by_end > ix.links_.size() ||
        !in(d.id_offset, d.id_size, ix.strings_.size()))
      return std::nullopt;
  }
  for (const Symbol& s : ix.symbols_)
    if (!in(s.name_offset, s.name_size, ix.strings_.size())) return std::nullopt;
  for (const DocSource& s : ix.sources_)
    if (s.spec_begin > s.spec_end || s.spec_end > ix.specs_.size()) return std::nullopt;
  // Node indices reach into the graph the index was made from: with ranges,
  // into those ranges.
  if (ix.has_ranges_) {
    const size_t n_nodes = ix.node_text_.size();
    for (const Doc& d : ix.docs_)
      if (d.node != kNoNode && d.node >= n_nodes) return std::nullopt;
    for (const Symbol& s : ix.symbols_)
      if (s.node >= n_nodes) return std::nullopt;
    for (const TextRange& r : ix.node_text_)
      if (r.offset > ix.signature_.size || r.size > ix.signature_.size - r.offset) return std::nullopt;
    for (const EdgeRecord& e : ix.edges_)
      if (e.text_offset > ix.signature_.size || e.text_size > ix.signature_.size - e.text_offset) return std::nullopt;
  }
  for (const EdgeRecord& e : ix.edges_)
    if (!in(e.from_offset, e.from_size, ix.strings_.size()) || !in(e.to_offset, e.to_size, ix.strings_.size()) ||
        !in(e.rel_offset, e.rel_size, ix.strings_.size()))
      return std::nullopt;
  return ix;
}

bool RelevanceIndex::intact() const { return digest64(checked_) == checksum_; }

std::vector<RelevanceIndex::Posting> RelevanceIndex::postings(uint64_t term) const {
  std::vector<Posting> out;
  auto it = std::lower_bound(term_hashes_.begin(), term_hashes_.end(), term);
  if (it != term_hashes_.end() && *it == term) postings_at(static_cast<size_t>(it - term_hashes_.begin()), out);
  return out;
}

std::string_view RelevanceIndex::posting_list(size_t r) const {
  if (r >= term_hashes_.size()) return {};
  const uint32_t begin = post_begin_[r], end = post_begin_[r + 1];
  return begin <= end && end <= postings_.size() ? postings_.substr(begin, end - begin) : std::string_view();
}

void RelevanceIndex::postings_at(size_t r, std::vector<Posting>& out) const {
  out.clear();
  decode_postings(posting_list(r), docs_.size(), out);
}

std::vector<std::string_view> RelevanceIndex::specifiers(size_t i) const {
  std::vector<std::string_view> out;
  const std::string_view bytes = specifier_bytes(i);  // open() checked the range
  const char* p = bytes.data();
  const char* const stop = p + bytes.size();
  uint32_t n;
  while (p < stop && get_varint(p, stop, n) && n <= static_cast<size_t>(stop - p)) {
    out.emplace_back(p, n);
    p += n;
  }
  return out;
}

std::vector<uint32_t> RelevanceIndex::links(uint32_t begin, uint32_t end) const {
  std::vector<uint32_t> out;
  const char* p = links_.data() + begin;  // open() checked the range
  const char* const stop = links_.data() + end;
  uint32_t doc = 0, delta;
  while (p < stop && get_varint(p, stop, delta)) {
    if (delta > docs_.size() - doc || delta + doc >= docs_.size()) break;
    doc += delta;
    out.push_back(doc);
  }
  return out;
}

IndexEdge RelevanceIndex::edge(size_t i) const {
  const EdgeRecord& r = edges_[i];
  IndexEdge e;
  e.from = strings_.substr(r.from_offset, r.from_size);
  e.to = strings_.substr(r.to_offset, r.to_size);
  e.rel = strings_.substr(r.rel_offset, r.rel_size);
  e.from_is_str = r.flags & 1;
  e.to_is_str = r.flags & 2;
  e.text = {r.text_offset, r.text_size};
  return e;
}

std::string index_path(const std::string& graph_path) { return graph_path + ".relevance"; }

std::optional<std::pair<FileSignature, FileIdentity>> stat_graph(int fd, int64_t* clock_ns) {
  if (clock_ns) {
    // The kernel stamps file times from this clock.
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    *clock_ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  FileSignature sig;
  sig.size = static_cast<uint64_t>(st.st_size);
  sig.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  FileIdentity id;
  id.dev = static_cast<uint64_t>(st.st_dev);
  id.ino = static_cast<uint64_t>(st.st_ino);
  id.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return std::pair{sig, id};
}

}  // namespace kestrune::br
