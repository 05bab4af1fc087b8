#include "kestrune/br/relevance_index.h"

#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <atomic>
#include <cerrno>
#include <deque>
#include <exception>
#include <memory>
#include <thread>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kestrune/base/fs.h"
#include "kestrune/base/md5.h"
#include "kestrune/base/text.h"
#include "kestrune/br/imports.h"
#include "kestrune/br/json_walk.h"
#include "kestrune/br/mapped_file.h"
#include "kestrune/br/relevance_format.h"
#include "kestrune/br/terms.h"

namespace kestrune::br {

using namespace image;

namespace {

// An open-addressing map from a non-zero 64-bit key to a 32-bit value; key
// and value side by side, so a probe touches one cache line.
class U64Map {
 public:
  U64Map() { rehash(1 << 12); }
  // The value for `key`, inserting `fresh` when absent; `added` tells which.
  uint32_t get(uint64_t key, uint32_t fresh, bool& added) {
    if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    size_t i = key & mask_;
    while (slots_[i].key != 0 && slots_[i].key != key) i = (i + 1) & mask_;
    added = slots_[i].key == 0;
    if (added) {
      slots_[i] = {key, fresh};
      ++size_;
    }
    return slots_[i].value;
  }

 private:
  struct Slot {
    uint64_t key;
    uint32_t value;
  };
  void rehash(size_t cap) {
    std::vector<Slot> slots(cap, Slot{0, 0});
    const size_t mask = cap - 1;
    for (const Slot& s : slots_) {
      if (!s.key) continue;
      size_t i = s.key & mask;
      while (slots[i].key != 0) i = (i + 1) & mask;
      slots[i] = s;
    }
    slots_.swap(slots);
    mask_ = mask;
  }
  std::vector<Slot> slots_;
  size_t mask_ = 0, size_ = 0;
};

// The terms of a raw identifier, by its hash: most have one, kept in the
// entry itself; more are `count` ids from `first` in a side list.
struct WordTerms {
  uint64_t hash;  // 0: an empty slot
  uint32_t first, count;
};

class WordCache {
 public:
  WordCache() : slots_(1 << 14, WordTerms{0, 0, 0}), mask_((1 << 14) - 1) {}
  void prefetch(uint64_t hash) const { __builtin_prefetch(&slots_[hash & mask_]); }
  const WordTerms* find(uint64_t hash) const {
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].hash == hash) return &slots_[i];
      if (slots_[i].hash == 0) return nullptr;
    }
  }
  // Adds an entry not yet held; the reference lasts until the next insert.
  const WordTerms& insert(const WordTerms& w) {
    if ((size_ + 1) * 2 > slots_.size()) {
      std::vector<WordTerms> old(slots_.size() * 2, WordTerms{0, 0, 0});
      old.swap(slots_);
      mask_ = slots_.size() - 1;
      for (const WordTerms& o : old)
        if (o.hash) place(o);
    }
    ++size_;
    return place(w);
  }

 private:
  WordTerms& place(const WordTerms& w) {
    size_t i = w.hash & mask_;
    while (slots_[i].hash != 0) i = (i + 1) & mask_;
    return slots_[i] = w;
  }
  std::vector<WordTerms> slots_;
  size_t mask_, size_ = 0;
};

// A word's identity within one file: its bytes and length when it has at most
// eight bytes (exact, and nothing to compute), else hash_word().
inline __attribute__((always_inline)) uint64_t word_key(const char* p, size_t n, const char* end) {
  if (n > 8) return hash_word(p, n, end);
  uint64_t v = 0;
  if (end - p >= 8 && std::endian::native == std::endian::little) {
    std::memcpy(&v, p, 8);
    if (n < 8) v &= ~uint64_t{0} >> (64 - 8 * n);
  } else {
    std::memcpy(&v, p, n);
  }
  // Below eight bytes the top byte is free for the length; at eight it holds
  // a word byte, never 1 to 7.
  return n < 8 ? v | (uint64_t{n} << 56) : v;
}

// The runs of word bytes of a text, in order. Which bytes are word bytes is
// worked out 64 at a time, a bit per byte, and runs are found by counting
// zero bits rather than byte by byte.
class WordRuns {
 public:
  explicit WordRuns(std::string_view text) : p_(text.data()), n_(text.size()) {}

  // The next run, [begin, end); false when there is none.
  bool next(size_t& begin, size_t& end) {
    while (starts_ == 0) {
      const size_t b = started_ ? base_ + 64 : 0;
      if (b >= n_) return false;
      started_ = true;
      base_ = b;
      bits_ = block(b);
      starts_ = bits_ & ~((bits_ << 1) | carry_);  // a word byte after one that is not
      carry_ = bits_ >> 63;
    }
    const int at = std::countr_zero(starts_);
    starts_ &= starts_ - 1;
    begin = base_ + static_cast<size_t>(at);
    if (const uint64_t gaps = ~bits_ & (~uint64_t{0} << at)) {
      end = base_ + static_cast<size_t>(std::countr_zero(gaps));
      return true;
    }
    // The run goes on into the next blocks.
    for (size_t b = base_ + 64;; b += 64) {
      if (b >= n_) {
        end = n_;
        return true;
      }
      if (const uint64_t gaps = ~block(b)) {
        end = std::min(n_, b + static_cast<size_t>(std::countr_zero(gaps)));
        return true;
      }
    }
  }

 private:
  // The word bytes of the 64 from `start`; none past the end of the text.
  uint64_t block(size_t start) const {
    if (n_ - start >= 64) return bits64(p_ + start);
    char last[64] = {};
    std::memcpy(last, p_ + start, n_ - start);
    return bits64(last);
  }

  static uint64_t bits64(const char* p) {
#if defined(__SSE2__)
    uint64_t out = 0;
    for (int k = 0; k < 4; ++k) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
      // A letter: x | 0x20 in 'a'..'z'; a digit: x - '0' in 0..9 (bytes as unsigned).
      const __m128i l = _mm_sub_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
      const __m128i letter = _mm_cmpeq_epi8(_mm_min_epu8(l, _mm_set1_epi8(25)), l);
      const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
      const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
      const __m128i under = _mm_cmpeq_epi8(x, _mm_set1_epi8('_'));
      const int m = _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), under));
      out |= static_cast<uint64_t>(static_cast<uint16_t>(m)) << (16 * k);
    }
    return out;
#else
    uint64_t out = 0;
    for (int k = 0; k < 64; ++k) out |= static_cast<uint64_t>(kWordBytes[static_cast<unsigned char>(p[k])]) << k;
    return out;
#endif
  }

  const char* p_;
  size_t n_;
  size_t base_ = 0;
  bool started_ = false;
  uint64_t bits_ = 0, starts_ = 0, carry_ = 0;
};

// The first letters of the declaring keywords add_body() looks for.
constexpr std::array<bool, 256> kDeclareStart = [] {
  std::array<bool, 256> t{};
  for (unsigned char c : std::string_view("dcfties")) t[c] = true;
  return t;
}();

// The module path a project's go.mod declares, "" without one.
std::string go_module_of(const std::string& root) {
  if (root.empty()) return "";
  const std::string path = fs::join(root, "go.mod");
  try {
    if (!fs::is_file(path)) return "";
    for (std::string_view line : text::split(fs::read_text(path, text::Errors::Replace), "\n")) {
      line = text::strip(line);
      if (line.starts_with("module")) {
        std::string_view rest = text::strip(line.substr(6));
        if (!rest.empty() && rest.front() == '"') rest = text::strip(rest, "\"");
        return std::string(rest);
      }
    }
  } catch (const std::exception&) {
  }
  return "";
}

}  // namespace

// ---- building ---------------------------------------------------------------

namespace {

// The scanner keeps the first this many characters of a file's text.
constexpr size_t kHeadChars = 24000;

// The fields of one graph node the index reads, as views into the graph.
struct IndexNode {
  std::string_view id, summary, content, name, file_hash;
  bool content_escaped = false;  // content is a JSON string's body, escapes and all
  std::span<const std::string_view> keywords;
  int64_t size = -1;  // the file's size in bytes when scanned; -1 when the graph does not say
  bool is_symbol = false;
};

// One file as the builder gathers it from its nodes.
struct DocBuild {
  std::string_view id, summary, content, file_hash;
  std::string_view node_text;  // the file node as the graph file writes it (empty for a graph in memory)
  bool content_escaped = false;
  int64_t size = -1;
  uint32_t node = kNoNode, first_node = kNoNode;
  std::vector<std::string_view> keywords;
  std::vector<std::pair<uint32_t, std::string_view>> symbols;  // node, name
};

// Where cut-short files are read whole from, and what tells that one is still
// the file the graph was made from.
struct Project {
  std::string root, resolved_root, go_module;
  bool graph_file = false;     // the graph was read from its file, whose text the entries can record
  int64_t graph_mtime_ns = 0;  // 0 for a graph held in memory
  // What a file's entry depends on beyond the graph's text of it.
  uint64_t digest() const {
    Digest64 d;
    for (const std::string& s : {root, resolved_root, go_module}) {
      const uint64_t n = s.size();
      d.update({reinterpret_cast<const char*>(&n), sizeof n});
      d.update(s);
    }
    return d.value();
  }
};

// Code points of UTF-8 text: its bytes less its continuation bytes
// (10xxxxxx), counted eight at a time.
size_t code_points(std::string_view s) {
  size_t cont = 0, i = 0;
  while (i + 8 <= s.size()) {
    // A count per byte lane, summed across the lanes before one can overflow.
    uint64_t lanes = 0;
    for (int k = 0; k < 255 && i + 8 <= s.size(); ++k, i += 8) {
      uint64_t v;
      std::memcpy(&v, s.data() + i, 8);
      lanes += (v & ~(v << 1) & 0x8080808080808080ULL) >> 7;
    }
    const uint64_t pairs = (lanes & 0x00FF00FF00FF00FFULL) + ((lanes >> 8) & 0x00FF00FF00FF00FFULL);
    const uint64_t quads = (pairs & 0x0000FFFF0000FFFFULL) + ((pairs >> 16) & 0x0000FFFF0000FFFFULL);
    cont += static_cast<size_t>((quads & 0xFFFFFFFFULL) + (quads >> 32));
  }
  for (; i < s.size(); ++i) cont += (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
  return s.size() - cont;
}

// What a file's entry is made from, as far as the graph says it (see
// DocSource::inputs): its id, its node's text, its symbols' names.
uint64_t inputs_of(const DocBuild& doc) {
  Digest64 d;
  auto piece = [&](std::string_view s) {
    const uint64_t n = s.size();
    d.update({reinterpret_cast<const char*>(&n), sizeof n});
    d.update(s);
  };
  piece(doc.id);
  piece(doc.node_text);
  for (const auto& [node, name] : doc.symbols) piece(name);
  return std::max<uint64_t>(d.value(), 1);
}

// The file the graph names `doc`, open, when it lies within the project and
// is a regular file of at most 4 MiB. Throws what the file system throws.
std::optional<fs::OpenedFile> open_in_project(const Project& p, const DocBuild& doc) {
  const std::string_view id = doc.id;
  if (p.root.empty() || doc.file_hash.size() != 8 || id.empty() || id.front() == '/' || id.starts_with("../") ||
      id.find("/../") != id.npos)
    return std::nullopt;
  const std::string path = fs::join(p.root, id);
  if (!fs::is_within(fs::resolve(path), p.resolved_root)) return std::nullopt;
  fs::OpenedFile file = fs::open_for_reading(path);
  if (file.found != fs::Found::File || file.stat.size == 0 || file.stat.size > (4 << 20)) return std::nullopt;
  return file;
}

// Whether a file of `size` bytes with status `st` is still the one the scan
// saw: that size, and last written before the graph was.
bool as_scanned(const Project& p, const DocBuild& doc, const fs::FileStat& st, uint64_t size) {
  return doc.size >= 0 && static_cast<uint64_t>(doc.size) == size && st.size == size && st.mtime_ns < p.graph_mtime_ns;
}

void record(DocSource& source, const fs::FileStat& st) {
  source.dev = st.dev;
  source.ino = st.ino;
  source.size = static_cast<int64_t>(st.size);
  source.mtime_ns = st.mtime_ns;
  source.ctime_ns = st.ctime_ns;
}

// The whole text of a file the graph holds only the head of (`head`), decoded
// as the scanner decodes it; empty when it cannot be read or is no longer the
// file the graph was made from. `bytes` and `decoded` hold what the view shows;
// `source` receives the file's status.
//
// The file is the same when its text begins with the graph's head and either
// it has the size the scan saw and was last written before the graph was, or
// its fingerprint (the scanner's: MD5 of the whole text) still matches. The
// first costs a stat; the second, a pass over the bytes, answers for files
// touched since without being changed (a checkout, a copy).
std::string_view whole_text(const Project& p, const DocBuild& doc, std::string_view head, std::string& bytes,
                            std::string& decoded, DocSource& source) {
  try {
    const std::optional<fs::OpenedFile> file = open_in_project(p, doc);
    if (!file) return {};
    record(source, file->stat);
    bytes.resize(file->stat.size + 1);
    size_t used = 0;
    for (;;) {
      const ssize_t n = ::read(file->fd.get(), bytes.data() + used, bytes.size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return {};
      if (n == 0) break;
      used += static_cast<size_t>(n);
      if (used == bytes.size()) return {};  // grown past the size just seen: being written
    }
    bytes.resize(used);
    std::string_view text = bytes;
    if (!text::is_valid_utf8(text)) text = decoded = text::decode(text, text::Errors::Drop);
    if (text.find('\r') != std::string_view::npos) text = decoded = text::universal_newlines(text);
    if (!text.starts_with(head)) return {};
    if (!as_scanned(p, doc, file->stat, used) && md5_hex(text).compare(0, 8, doc.file_hash) != 0) return {};
    return text;
  } catch (const std::exception&) {
    return {};
  }
}

// Whether the file an earlier build read whole (`was`) would be read the same
// now without reading it: the same file, unchanged since before that build
// began, and still the one the scan saw by its size and time.
bool still_whole(const Project& p, const DocBuild& doc, const DocSource& was, int64_t built_at) {
  if (was.whole != DocSource::kWhole || was.ctime_ns >= built_at) return false;
  try {
    const std::optional<fs::OpenedFile> file = open_in_project(p, doc);
    if (!file) return false;
    DocSource now = was;
    record(now, file->stat);
    return now == was && as_scanned(p, doc, file->stat, file->stat.size);
  } catch (const std::exception&) {
    return false;
  }
}

// (hashes[i], i) in hash order. Hashes are spread evenly, so a count by their
// top bits puts each in a bucket of a few, and the buckets are sorted by
// insertion: far cheaper than a comparison sort of a few hundred thousand.
std::vector<std::pair<uint64_t, uint32_t>> sorted_by_hash(const std::vector<uint64_t>& hashes) {
  const size_t n = hashes.size();
  int bits = 1;
  while (bits < 20 && (size_t{1} << bits) < n / 4) ++bits;
  const int shift = 64 - bits;
  std::vector<uint32_t> start((size_t{1} << bits) + 1, 0);
  for (uint64_t h : hashes) ++start[(h >> shift) + 1];
  for (size_t b = 0; b + 1 < start.size(); ++b) start[b + 1] += start[b];
  std::vector<std::pair<uint64_t, uint32_t>> out(n);
  {
    std::vector<uint32_t> fill(start.begin(), start.end() - 1);
    for (uint32_t i = 0; i < n; ++i) out[fill[hashes[i] >> shift]++] = {hashes[i], i};
  }
  for (size_t b = 0; b + 1 < start.size(); ++b)
    for (uint32_t i = start[b] + 1; i < start[b + 1]; ++i)
      for (uint32_t j = i; j > start[b] && out[j - 1] > out[j]; --j) std::swap(out[j - 1], out[j]);
  return out;
}

struct BuildPosting {
  uint32_t term;  // the shard's own term id
  std::array<uint8_t, kFieldCount> tf;
};

// What indexing one file gives.
struct DocOut {
  uint32_t len[kFieldCount] = {};
  uint32_t shard = 0, post_begin = 0, post_end = 0;  // its postings, in its shard
  uint32_t lent_from = kNoNode;  // or the earlier image's file whose postings are its own
  std::vector<uint32_t> imports;
  std::string specifiers;  // its import specifiers, as the image writes them
  DocSource source;
};

// An earlier image of the same graph file, lending the entries of the files
// unchanged since. Its postings are term by term in hash order, as the new
// image's are: they are merged in as the new image is written, never turned
// around into lists by file.
class Previous {
 public:
  // `ix`, intact (its checksum holds), must outlive this; nothing is lent
  // unless it was made against the same project.
  Previous(const RelevanceIndex& ix, const std::vector<DocBuild>& docs, uint64_t project) : ix_(ix) {
    old_of_.assign(docs.size(), kNoNode);
    if (!ix.has_ranges() || ix.project() != project) return;
    std::unordered_map<std::string_view, uint32_t> old_by_id;
    for (uint32_t o = 0; o < ix.doc_count(); ++o) old_by_id.emplace(ix.doc_id(ix.doc(o)), o);
    same_files_ = docs.size() == ix.doc_count();
    uint32_t last = 0;
    bool in_order = true;
    for (uint32_t d = 0; d < docs.size(); ++d) {
      const auto it = old_by_id.find(docs[d].id);
      same_files_ = same_files_ && it != old_by_id.end() && it->second == d;
      if (it == old_by_id.end()) continue;
      if (ix.source(it->second).whole == DocSource::kHeadOnly) continue;
      // A list stays in file order only while the lent files keep their order.
      in_order = in_order && (last == 0 || it->second >= last);
      last = it->second + 1;
      old_of_[d] = it->second;
    }
    if (!in_order) std::fill(old_of_.begin(), old_of_.end(), kNoNode);
  }

  // The earlier entry that may stand for file `d`: the same file id; kNoNode
  // when there is none.
  uint32_t old_doc(uint32_t d) const { return old_of_[d]; }
  const DocSource& source(uint32_t o) const { return ix_.source(o); }
  // When the earlier build's clock was read: files changed since are read again.
  int64_t built_at() const { return ix_.identity_time_ns(); }
  // The same files in the same order: import lists keep their meaning.
  bool same_files() const { return same_files_; }

  // Hands file `d` the entry of earlier file `o`, but for its postings.
  void lend(uint32_t o, DocOut& out) const {
    const RelevanceIndex::Doc& was = ix_.doc(o);
    std::copy(std::begin(was.len), std::end(was.len), out.len);
    out.lent_from = o;
    out.source = ix_.source(o);
    out.specifiers = ix_.specifier_bytes(o);
    if (same_files_) out.imports = ix_.imports(was);
  }
  std::vector<std::string_view> specifiers(uint32_t o) const { return ix_.specifiers(o); }

  // Appends earlier list `list`, its files renumbered by `new_of_old` (those
  // with no new number left out) and merged with `fresh` (new numbers,
  // ascending). A posting whose distance from the one before is unchanged
  // has unchanged bytes: runs of them are copied as they are, which is most
  // of every list.
  static void merge_list(std::string_view list, const std::vector<uint32_t>& new_of_old,
                         std::span<const RelevanceIndex::Posting> fresh, std::string& out) {
    const char* p = list.data();
    const char* const stop = p + list.size();
    const char* run = nullptr;  // where the bytes to copy as they are begin
    auto flush = [&](const char* upto) {
      if (run) out.append(run, static_cast<size_t>(upto - run));
      run = nullptr;
    };
    uint32_t old_doc = 0, last = 0, delta;
    size_t b = 0;
    auto fresh_below = [&](uint32_t limit) {
      for (; b < fresh.size() && fresh[b].doc < limit; ++b)
        append_posting(out, fresh[b].doc - std::exchange(last, fresh[b].doc), fresh[b].tf);
    };
    while (p < stop) {
      const char* const start = p;
      if (!get_varint(p, stop, delta) || delta >= new_of_old.size() - old_doc || p == stop) {
        p = start;
        break;
      }
      old_doc += delta;
      const char* const counts = p;  // the field mask, then the counts
      const int n_counts = kCountsOf[static_cast<unsigned char>(*p++) & ((1 << kFieldCount) - 1)];
      if (stop - p < n_counts) {
        p = start;
        break;
      }
      p += n_counts;
      const uint32_t doc = new_of_old[old_doc];
      if (doc == kNoNode) {
        flush(start);
        continue;
      }
      if (b < fresh.size() && fresh[b].doc < doc) {
        flush(start);
        fresh_below(doc);
      }
      if (doc - last == delta) {
        if (!run) run = start;
      } else {
        flush(start);
        char buf[5];
        out.append(buf, static_cast<size_t>(put_varint(buf, doc - last) - buf));
        out.append(counts, static_cast<size_t>(p - counts));
      }
      last = doc;
    }
    flush(p);
    fresh_below(UINT32_MAX);
  }

  // Merges the lent files' postings into those of the files indexed now
  // (`hashes`, `begin`, `bytes`, laid out as the image holds them), each list
  // in file order; a term no file holds any more is left out.
  void merge(const std::vector<DocOut>& outs, std::vector<uint64_t>& hashes, std::vector<uint32_t>& begin,
             std::string& bytes) const {
    std::vector<uint32_t> new_of_old(ix_.doc_count(), kNoNode);
    bool any = false;
    for (uint32_t d = 0; d < outs.size(); ++d)
      if (outs[d].lent_from != kNoNode) new_of_old[outs[d].lent_from] = d, any = true;
    if (!any) return;
    const std::span<const uint64_t> old_terms = ix_.terms();
    const uint32_t n_docs = static_cast<uint32_t>(outs.size());
    std::vector<uint64_t> out_hashes;
    std::vector<uint32_t> out_begin;
    std::string out;
    out.reserve(bytes.size() + ix_.posting_bytes());
    std::vector<RelevanceIndex::Posting> fresh;
    for (size_t i = 0, j = 0; i < old_terms.size() || j < hashes.size();) {
      const bool from_old = i < old_terms.size() && (j == hashes.size() || old_terms[i] <= hashes[j]);
      const uint64_t h = from_old ? old_terms[i] : hashes[j];
      fresh.clear();
      if (j < hashes.size() && hashes[j] == h) {
        decode_postings(std::string_view(bytes).substr(begin[j], begin[j + 1] - begin[j]), n_docs, fresh);
        ++j;
      }
      const size_t at = out.size();
      merge_list(from_old ? ix_.posting_list(i++) : std::string_view(), new_of_old, fresh, out);
      if (out.size() == at) continue;  // no file holds the term any more
      if (out.size() > UINT32_MAX) throw std::length_error("relevance index: too many postings");
      out_hashes.push_back(h);
      out_begin.push_back(static_cast<uint32_t>(at));
    }
    out_begin.push_back(static_cast<uint32_t>(out.size()));
    hashes.swap(out_hashes);
    begin.swap(out_begin);
    bytes.swap(out);
  }

 private:
  const RelevanceIndex& ix_;
  std::vector<uint32_t> old_of_;
  bool same_files_ = false;
};

// One thread's share of the build. Each shard has its own dictionaries of
// words and terms, so threads never wait on one another; the shards' terms
// are matched by hash when the image is laid out.
class Shard {
 public:
  // `previous` (may be null) lends the entries of unchanged files.
  Shard(uint32_t index, const Project& project, const ImportResolver& resolver, const Previous* previous)
      : index_(index), project_(project), resolver_(resolver), previous_(previous) {}

  void index(const DocBuild& doc, uint32_t d, DocOut& out) {
    const uint64_t inputs = project_.graph_file ? inputs_of(doc) : 0;
    if (previous_ && lend(doc, d, inputs, out)) return;
    doc_ = d;
    doc_terms_.clear();
    std::fill(std::begin(len_), std::end(len_), 0);
    out.source.inputs = inputs;
    const std::string_view content = text_of(doc, out.source);
    add_words(doc.id, kPathField);
    for (const auto& [node, name] : doc.symbols) add_words(name, kDefsField);
    for (std::string_view k : doc.keywords) add_words(k, kMetaField);
    add_words(doc.summary, kMetaField);
    add_body(content);
    out.shard = index_;
    out.post_begin = static_cast<uint32_t>(postings.size());
    for (uint32_t id : doc_terms_) postings.push_back({id, tally_[id].tf});
    out.post_end = static_cast<uint32_t>(postings.size());
    std::copy(std::begin(len_), std::end(len_), out.len);
    if (!content.empty()) {
      const std::vector<std::string> specs = resolver_.specifiers(d, content);
      const std::vector<std::string_view> views(specs.begin(), specs.end());
      for (std::string_view spec : views) {
        put_varint(out.specifiers, static_cast<uint32_t>(spec.size()));
        out.specifiers += spec;
      }
      out.imports = resolver_.resolve(d, views);
    }
  }

  // The earlier entry of file `d`, when it was made from the same `inputs` and still holds.
  bool lend(const DocBuild& doc, uint32_t d, uint64_t inputs, DocOut& out) {
    const uint32_t o = previous_->old_doc(d);
    if (o == kNoNode) return false;
    const DocSource& was = previous_->source(o);
    if (inputs == 0 || was.inputs != inputs) return false;
    if (was.whole == DocSource::kWhole && !still_whole(project_, doc, was, previous_->built_at())) return false;
    previous_->lend(o, out);
    if (!previous_->same_files()) out.imports = resolver_.resolve(d, previous_->specifiers(o));
    return true;
  }

  // The text of `doc` to index: the graph's copy, decoded here rather than by
  // the walk (on every core, into a buffer that stays warm), or the whole file
  // when the graph's copy is cut short and the file can be read, so that what
  // it declares further down counts too. `source` tells which.
  std::string_view text_of(const DocBuild& doc, DocSource& source) {
    std::string_view content = doc.content;
    if (doc.content_escaped) {
      if (!json_walk::unescape(content, content_)) json_walk::full_reader();
      content = content_;
    }
    if (content.size() >= kHeadChars && !project_.root.empty() && code_points(content) >= kHeadChars) {
      source.whole = DocSource::kHeadOnly;
      if (std::string_view whole = whole_text(project_, doc, content, bytes_, decoded_, source);
          whole.size() > content.size()) {
        source.whole = DocSource::kWhole;
        content = whole;
      }
    }
    return content;
  }

  // This shard's terms, (hash, own id), in hash order.
  std::vector<std::pair<uint64_t, uint32_t>> sorted_terms() const { return sorted_by_hash(local_hash_); }

  std::vector<BuildPosting> postings;  // file by file, in the order indexed

 private:
  // A term occurrence count and, for its file, the counts per field; side by
  // side, so adding to a term touches one cache line.
  struct Tally {
    uint32_t doc = UINT32_MAX;  // the file last counted for
    std::array<uint8_t, kFieldCount> tf{};
  };
  // A distinct word of the file being indexed: how often it occurs, and how
  // often as a declared name.
  struct DocWord {
    uint64_t key;  // word_key()
    std::string_view raw;
    uint32_t body, defs;
    uint32_t first = 0, count = 0;  // its terms, once looked up (as in WordTerms)
  };
  struct Slot {
    uint64_t key;
    uint32_t word;   // in words_
    uint32_t stamp;  // the slot is in use for the current table when it matches stamp_
  };

  uint32_t term_id(uint64_t term) {
    bool added;
    const uint32_t id = term_ids_.get(term, static_cast<uint32_t>(local_hash_.size()), added);
    if (added) {
      local_hash_.push_back(term);
      tally_.emplace_back();
    }
    return id;
  }

  void add(uint32_t id, int field, uint32_t times) {
    Tally& t = tally_[id];
    if (t.doc != doc_) {
      t.doc = doc_;
      t.tf = {};
      doc_terms_.push_back(id);
    }
    t.tf[field] = static_cast<uint8_t>(std::min<uint32_t>(255, t.tf[field] + times));
    len_[field] += times;
  }

  void add_words(std::string_view text, int field) {
    for_each_term(text, [&](std::string_view term, bool) { add(term_id(term_hash(term)), field, 1); });
  }

  // The terms of one raw identifier, worked out once per distinct spelling.
  const WordTerms& word(std::string_view raw, uint64_t raw_hash) {
    if (const WordTerms* known = word_cache_.find(raw_hash)) return *known;
    WordTerms w{raw_hash, 0, 0};
    const size_t begin = word_terms_.size();
    for_each_term(raw, [&](std::string_view term, bool) { word_terms_.push_back(term_id(term_hash(term))); });
    w.count = static_cast<uint32_t>(word_terms_.size() - begin);
    if (w.count == 1) {
      w.first = word_terms_.back();
      word_terms_.pop_back();
    } else {
      w.first = static_cast<uint32_t>(begin);
    }
    return word_cache_.insert(w);
  }

  // A fresh table of the file's words with `cap` slots (a power of two).
  // Slots left from earlier files carry an older stamp and read as empty.
  void reset_words(size_t cap) {
    if (slots_.size() < cap) slots_.resize(cap, Slot{0, 0, 0});
    mask_ = cap - 1;
    shift_ = 64 - std::countr_zero(cap);
    if (++stamp_ == 0) {
      std::fill(slots_.begin(), slots_.end(), Slot{0, 0, 0});
      stamp_ = 1;
    }
  }

  size_t slot_of(uint64_t key) const { return (key * 0x9e3779b97f4a7c15ULL) >> shift_; }

  DocWord& doc_word(uint64_t key, std::string_view raw) {
    for (size_t i = slot_of(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.stamp != stamp_) {
        if ((words_.size() + 1) * 2 > mask_ + 1) {
          grow_words();
          return doc_word(key, raw);
        }
        s = {key, static_cast<uint32_t>(words_.size()), stamp_};
        return words_.emplace_back(DocWord{key, raw, 0, 0});
      }
      if (s.key == key) return words_[s.word];
    }
  }

  void grow_words() {
    reset_words((mask_ + 1) * 2);
    for (uint32_t k = 0; k < words_.size(); ++k) {
      size_t i = slot_of(words_[k].key);
      while (slots_[i].stamp == stamp_) i = (i + 1) & mask_;
      slots_[i] = {words_[k].key, k, stamp_};
    }
  }

  // The body: every identifier, and the names that follow a declaring keyword
  // (def, class, func, function, type, interface, struct, enum) once more as
  // declarations. A Go method's receiver is passed over. Occurrences are
  // counted per distinct word first: a file repeats most of its words, and
  // only a distinct word needs its terms looked up.
  void add_body(std::string_view text) {
    static const auto key = [](std::string_view w) { return word_key(w.data(), w.size(), w.data() + w.size()); };
    static const uint64_t kDeclare[] = {key("def"),  key("class"), key("func"), key("function"), key("type"),
                                        key("struct"), key("enum"), key("trait"), key("fn")};
    static const uint64_t kFunc = key("func");
    words_.clear();
    size_t cap = 256;
    while (cap < text.size() / 12 && cap < (size_t{1} << 20)) cap <<= 1;
    reset_words(cap);
    enum { None, Next, Receiver } state = None;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    const char* const end = text.data() + n;
    WordRuns runs(text);
    size_t done = 0;  // where the last word ended
    for (size_t i, j; runs.next(i, j);) {
      // Between words only a declaration's state reads the punctuation.
      for (size_t k = done; state != None && k < i; ++k) {
        const unsigned char c = s[k];
        if (state == Receiver && c == ')') state = Next;
        else if (state == Next && c == '(') state = None;
        else if (state == Next && c != ' ' && c != '\t' && c != '*') state = None;
      }
      done = j;
      const unsigned char c = s[i];
      const std::string_view raw(text.data() + i, j - i);
      if (raw.size() > 64 || raw.size() < 2) {
        // Too long to be a word, or a one-letter name: no term, but a
        // declaration still ends here.
        if (state == Next) state = None;
        continue;
      }
      const uint64_t k = word_key(raw.data(), raw.size(), end);
      DocWord& w = doc_word(k, raw);
      ++w.body;
      if (state == Receiver) continue;
      if (state == Next) {
        ++w.defs;
        state = None;
        continue;
      }
      if (kDeclareStart[c] && (raw.size() <= 8 ? std::find(std::begin(kDeclare), std::end(kDeclare), k) != std::end(kDeclare)
                                               : raw == "interface")) {
        state = Next;
        size_t after = j;
        while (after < n && (s[after] == ' ' || s[after] == '\t')) ++after;
        if (k == kFunc && after < n && s[after] == '(') state = Receiver;
      }
    }
    // The shard's tables are far larger than a cache: each pass asks for
    // the memory the next one reads, so the misses overlap instead of
    // following one another.
    for (DocWord& w : words_) {
      w.key = hash_word(w.raw.data(), w.raw.size(), end);  // from here on, the word's hash
      word_cache_.prefetch(w.key);
    }
    for (DocWord& w : words_) {
      const WordTerms& terms = word(w.raw, w.key);
      w.first = terms.first;
      w.count = terms.count;
      if (w.count == 1) __builtin_prefetch(&tally_[w.first]);
    }
    for (const DocWord& w : words_) {
      auto count = [&](uint32_t term) {
        add(term, kBodyField, w.body);
        if (w.defs) add(term, kDefsField, w.defs);
      };
      if (w.count == 1) {
        count(w.first);
      } else {
        for (uint32_t k = w.first; k < w.first + w.count; ++k) count(word_terms_[k]);
      }
    }
  }

  const uint32_t index_;
  const Project& project_;
  const ImportResolver& resolver_;
  const Previous* const previous_;

  uint32_t doc_ = 0;
  uint32_t len_[kFieldCount] = {};
  std::vector<uint32_t> doc_terms_;  // own ids of the current file's terms
  // Term hash -> own id, and per own id its hash and tally.
  U64Map term_ids_;
  std::vector<uint64_t> local_hash_;
  std::vector<Tally> tally_;
  // Raw identifier hash -> its terms' own ids (whole first).
  WordCache word_cache_;
  std::vector<uint32_t> word_terms_;
  // The current file's distinct words.
  std::vector<DocWord> words_;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  int shift_ = 64;
  uint32_t stamp_ = 0;
  std::string content_, bytes_, decoded_;
};

// Gathers a graph's nodes and edges, then lays out the index image.
class IndexBuilder {
 public:
  // `graph_text`: the graph file's text, which add_node()'s ranges are in;
  // empty for a graph held in memory.
  explicit IndexBuilder(std::string_view graph_text = {}) : graph_text_(graph_text) {}

  // Nodes in graph order; `text` is where the graph file holds the node (left
  // empty for a graph held in memory).
  void add_node(uint32_t index, const IndexNode& n, TextRange text = {}) {
    if (node_text_.size() <= index) node_text_.resize(index + 1);
    node_text_[index] = text;
    if (text.size == 0) has_ranges_ = false;
    if (n.is_symbol) {
      const std::string_view base = n.id.substr(0, n.id.find("::"));
      DocBuild& doc = docs_[doc_for(base, index)];
      doc.symbols.emplace_back(index, n.name.empty() ? n.id.substr(std::min(n.id.size(), base.size() + 2)) : n.name);
      return;
    }
    DocBuild& doc = docs_[doc_for(n.id, index)];
    if (doc.node != kNoNode) return;  // the same file reached twice: its first node stands for it
    doc.node = index;
    if (!graph_text_.empty()) doc.node_text = graph_text_.substr(text.offset, text.size);
    doc.summary = n.summary;
    doc.content = n.content;
    doc.content_escaped = n.content_escaped;
    doc.file_hash = n.file_hash;
    doc.size = n.size;
    doc.keywords.assign(n.keywords.begin(), n.keywords.end());
  }

  void add_edge(const IndexEdge& edge) {
    edges_.push_back(edge);
    if (edge.text.size == 0) has_ranges_ = false;
  }

  // The byte image. `graph` is the signature of the graph file it was built
  // from (all zero for a graph held in memory); `root` the project directory
  // the graph was scanned from ("" when unknown).
  // `previous`: an earlier image of the same graph file whose checksum holds, or null.
  std::string finish(const FileSignature& graph, const FileIdentity& identity, int64_t identity_time_ns,
                     const std::string& root, const RelevanceIndex* previous = nullptr, size_t* lent = nullptr);

 private:
  uint32_t doc_for(std::string_view id, uint32_t node) {
    auto [it, added] = doc_of_.try_emplace(id, static_cast<uint32_t>(docs_.size()));
    if (added) {
      docs_.emplace_back();
      docs_.back().id = id;
      docs_.back().first_node = node;
    }
    return it->second;
  }

  std::string_view graph_text_;
  std::vector<DocBuild> docs_;
  std::unordered_map<std::string_view, uint32_t> doc_of_;
  std::vector<TextRange> node_text_;
  std::vector<IndexEdge> edges_;
  bool has_ranges_ = true;
};

// Threads for indexing: files are independent, so each core takes its own.
// A small graph is not worth starting one.
unsigned build_threads(const std::vector<DocBuild>& docs) {
  size_t bytes = 0;
  for (const DocBuild& d : docs) bytes += d.content.size();
  if (bytes < (size_t{1} << 20)) return 1;
  return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

std::string IndexBuilder::finish(const FileSignature& graph, const FileIdentity& identity, int64_t identity_time_ns,
                                 const std::string& root, const RelevanceIndex* previous, size_t* lent) {
  const uint32_t n_docs = static_cast<uint32_t>(docs_.size());
  Project project;
  project.graph_mtime_ns = graph.mtime_ns;
  if (!root.empty()) {
    try {
      project.resolved_root = fs::resolve(root);
      project.root = root;
    } catch (const std::exception&) {
    }
  }
  project.go_module = go_module_of(project.root);
  project.graph_file = !graph_text_.empty();
  const uint64_t project_digest = project.digest();
  std::vector<std::string_view> ids(n_docs);
  for (uint32_t d = 0; d < n_docs; ++d) ids[d] = docs_[d].id;
  const ImportResolver resolver(ids, project.go_module);
  std::optional<Previous> lender;
  if (previous) lender.emplace(*previous, docs_, project_digest);

  // Files go to threads a few at a time. Each thread starts at its own share
  // of the graph and goes on from there, taking what no thread has taken:
  // neighbouring files share their words, so a thread's dictionaries stay
  // smaller than if every thread saw every part of the project.
  const unsigned n_threads = build_threads(docs_);
  std::vector<std::unique_ptr<Shard>> shards;
  for (unsigned t = 0; t < n_threads; ++t)
    shards.push_back(std::make_unique<Shard>(t, project, resolver, lender ? &*lender : nullptr));
  std::vector<DocOut> outs(n_docs);
  std::vector<std::vector<std::pair<uint64_t, uint32_t>>> shard_terms(n_threads);
  constexpr uint32_t kBatch = 8;
  const uint32_t n_batches = (n_docs + kBatch - 1) / kBatch;
  std::unique_ptr<std::atomic<bool>[]> taken(new std::atomic<bool>[n_batches]);
  for (uint32_t b = 0; b < n_batches; ++b) taken[b] = false;
  std::atomic<bool> stop{false};
  std::vector<std::exception_ptr> failed(n_threads);
  auto work = [&](unsigned t) {
    try {
      const uint32_t first = static_cast<uint32_t>(uint64_t{n_batches} * t / n_threads);
      for (uint32_t k = 0; k < n_batches && !stop; ++k) {
        const uint32_t b = (first + k) % n_batches;
        if (taken[b].exchange(true)) continue;
        for (uint32_t d = b * kBatch; d < std::min(n_docs, (b + 1) * kBatch); ++d) shards[t]->index(docs_[d], d, outs[d]);
      }
      shard_terms[t] = shards[t]->sorted_terms();
    } catch (...) {
      failed[t] = std::current_exception();
      stop = true;
    }
  };
  {
    std::vector<std::jthread> pool;
    for (unsigned t = 1; t < n_threads; ++t) pool.emplace_back(work, t);
    work(0);
  }
  for (const auto& e : failed)
    if (e) std::rethrow_exception(e);

  // Terms in hash order across the shards, and each shard's ids mapped to that order.
  std::vector<uint64_t> hashes;
  std::vector<std::vector<uint32_t>> rank_of(n_threads);
  {
    std::vector<size_t> at(n_threads, 0);
    for (unsigned t = 0; t < n_threads; ++t) rank_of[t].resize(shard_terms[t].size());
    for (;;) {
      uint64_t least = 0;
      bool any = false;
      for (unsigned t = 0; t < n_threads; ++t)
        if (at[t] < shard_terms[t].size() && (!any || shard_terms[t][at[t]].first < least))
          least = shard_terms[t][at[t]].first, any = true;
      if (!any) break;
      const uint32_t rank = static_cast<uint32_t>(hashes.size());
      hashes.push_back(least);
      for (unsigned t = 0; t < n_threads; ++t)
        if (at[t] < shard_terms[t].size() && shard_terms[t][at[t]].first == least)
          rank_of[t][shard_terms[t][at[t]++].second] = rank;
    }
  }
  const size_t n_terms = hashes.size();
  // Postings grouped by term, each term's in file order, written as the
  // distance from the term's file before (varint), a mask of the fields that
  // hold the term and their counts: a fifth of a fixed record's bytes. A
  // first pass in file order sizes each term's list, a second writes it.
  std::vector<uint32_t> begin(n_terms + 1, 0);
  std::string post_bytes;
  {
    auto for_each_posting = [&](auto&& f) {
      for (uint32_t d = 0; d < n_docs; ++d) {
        const DocOut& o = outs[d];
        const std::vector<BuildPosting>& from = shards[o.shard]->postings;
        const std::vector<uint32_t>& rank = rank_of[o.shard];
        for (uint32_t i = o.post_begin; i < o.post_end; ++i) f(d, rank[from[i].term], from[i].tf);
      }
    };
    std::vector<uint32_t> last(n_terms, 0);
    std::vector<uint64_t> size(n_terms + 1, 0);
    for_each_posting([&](uint32_t d, uint32_t r, const std::array<uint8_t, kFieldCount>& tf) {
      size[r + 1] += varint_size(d - last[r]) + 1;
      for (uint8_t c : tf) size[r + 1] += c != 0;
      last[r] = d;
    });
    for (size_t r = 0; r < n_terms; ++r) size[r + 1] += size[r];
    if (size[n_terms] > UINT32_MAX) throw std::length_error("relevance index: too many postings");
    for (size_t r = 0; r <= n_terms; ++r) begin[r] = static_cast<uint32_t>(size[r]);
    post_bytes.resize(size[n_terms]);
    std::vector<uint32_t> fill(begin.begin(), begin.end() - 1);
    std::fill(last.begin(), last.end(), 0);
    for_each_posting([&](uint32_t d, uint32_t r, const std::array<uint8_t, kFieldCount>& tf) {
      char* o = put_varint(post_bytes.data() + fill[r], d - last[r]);
      char* mask = o++;
      *mask = 0;
      for (int f = 0; f < kFieldCount; ++f)
        if (tf[f]) *mask = static_cast<char>(*mask | (1 << f)), *o++ = static_cast<char>(tf[f]);
      fill[r] = static_cast<uint32_t>(o - post_bytes.data());
      last[r] = d;
    });
  }
  shards.clear();
  // The lent postings are merged while the rest of the image is laid out.
  std::exception_ptr merge_failed;
  std::jthread merging;
  if (lender)
    merging = std::jthread([&] {
      try {
        lender->merge(outs, hashes, begin, post_bytes);
      } catch (...) {
        merge_failed = std::current_exception();
      }
    });
  if (lent)
    *lent = static_cast<size_t>(
        std::count_if(outs.begin(), outs.end(), [](const DocOut& o) { return o.lent_from != kNoNode; }));

  std::vector<RelevanceIndex::Doc> docs(n_docs);
  std::vector<DocSource> sources(n_docs);
  std::string strings;
  double total_len[kFieldCount] = {};
  for (uint32_t d = 0; d < n_docs; ++d) {
    RelevanceIndex::Doc& out = docs[d];
    out = {};
    out.node = docs_[d].node;
    out.first_node = docs_[d].first_node;
    out.kind = static_cast<uint8_t>(doc_kind(docs_[d].id));
    sources[d] = outs[d].source;
    for (int f = 0; f < kFieldCount; ++f) {
      out.len[f] = outs[d].len[f];
      total_len[f] += outs[d].len[f];
    }
    out.id_offset = static_cast<uint32_t>(strings.size());
    out.id_size = static_cast<uint32_t>(docs_[d].id.size());
    strings += docs_[d].id;
  }

  // Imports, and the reverse lists, each as distances from the file before.
  std::vector<std::vector<uint32_t>> in_links(n_docs);
  for (uint32_t d = 0; d < n_docs; ++d)
    for (uint32_t t : outs[d].imports) in_links[t].push_back(d);
  std::string link_bytes;
  auto put_links = [&](const std::vector<uint32_t>& list, uint32_t& from, uint32_t& to) {
    from = static_cast<uint32_t>(link_bytes.size());
    uint32_t last = 0;
    for (uint32_t t : list) put_varint(link_bytes, t - std::exchange(last, t));
    if (link_bytes.size() > UINT32_MAX) throw std::length_error("relevance index: too many imports");
    to = static_cast<uint32_t>(link_bytes.size());
  };
  std::string spec_bytes;
  for (uint32_t d = 0; d < n_docs; ++d) {
    put_links(outs[d].imports, docs[d].imp_begin, docs[d].imp_end);
    put_links(in_links[d], docs[d].by_begin, docs[d].by_end);
    sources[d].spec_begin = static_cast<uint32_t>(spec_bytes.size());
    spec_bytes += outs[d].specifiers;
    if (spec_bytes.size() > UINT32_MAX) throw std::length_error("relevance index: too many imports");
    sources[d].spec_end = static_cast<uint32_t>(spec_bytes.size());
  }

  std::vector<RelevanceIndex::Symbol> symbols;
  for (uint32_t d = 0; d < n_docs; ++d) {
    docs[d].sym_begin = static_cast<uint32_t>(symbols.size());
    for (const auto& [node, name] : docs_[d].symbols) {
      symbols.push_back({node, static_cast<uint32_t>(strings.size()), static_cast<uint32_t>(name.size())});
      strings += name;
    }
    docs[d].sym_end = static_cast<uint32_t>(symbols.size());
  }

  std::vector<TextRange> node_text;
  std::vector<RelevanceIndex::EdgeRecord> edges;
  if (has_ranges_) {
    node_text = node_text_;
    for (const IndexEdge& e : edges_) {
      RelevanceIndex::EdgeRecord r{};
      r.text_offset = e.text.offset;
      r.text_size = e.text.size;
      auto add = [&](std::string_view s, uint32_t& off, uint32_t& size) {
        off = static_cast<uint32_t>(strings.size());
        size = static_cast<uint32_t>(s.size());
        strings += s;
      };
      add(e.from, r.from_offset, r.from_size);
      add(e.to, r.to_offset, r.to_size);
      add(e.rel, r.rel_offset, r.rel_size);
      r.flags = (e.from_is_str ? 1u : 0u) | (e.to_is_str ? 2u : 0u);
      edges.push_back(r);
    }
  }

  if (merging.joinable()) merging.join();
  if (merge_failed) std::rethrow_exception(merge_failed);
  std::string out;
  out.reserve(256 + docs.size() * (sizeof docs[0] + sizeof sources[0]) + hashes.size() * 12 + post_bytes.size() +
              link_bytes.size() + spec_bytes.size() +
              symbols.size() * sizeof symbols[0] + node_text.size() * sizeof node_text[0] +
              edges.size() * sizeof edges[0] + strings.size());
  out.append(kMagic, sizeof kMagic);
  put(out, graph.size);
  put(out, graph.mtime_ns);
  put(out, graph.digest);
  put(out, identity.dev);
  put(out, identity.ino);
  put(out, identity.ctime_ns);
  put(out, identity_time_ns);
  for (int f = 0; f < kFieldCount; ++f) put(out, static_cast<float>(n_docs ? total_len[f] / n_docs : 0.0));
  put(out, static_cast<uint32_t>(has_ranges_ ? 1 : 0));
  put(out, static_cast<uint32_t>(0));
  put(out, project_digest);
  const size_t checksum_at = out.size();
  put(out, uint64_t{0});
  const size_t checked_from = out.size();
  put_vec(out, docs);
  put_vec(out, sources);
  put_vec(out, hashes);
  put_vec(out, begin);
  put_bytes(out, post_bytes);
  put_bytes(out, link_bytes);
  put_bytes(out, spec_bytes);
  put_vec(out, symbols);
  put_vec(out, node_text);
  put_vec(out, edges);
  put(out, static_cast<uint64_t>(strings.size()));
  out += strings;
  const uint64_t checksum = digest64(std::string_view(out).substr(checked_from));
  std::memcpy(out.data() + checksum_at, &checksum, sizeof checksum);
  return out;
}

}  // namespace

// ---- from a graph -------------------------------------------------------------

namespace {

std::string_view text_or_empty(const json::Value* v, std::deque<std::string>& arena) {
  if (!v || v->is_null()) return {};
  if (v->is_string()) return v->as_string();
  return arena.emplace_back(json::py_str(*v));
}

// The fields of one node map; `keywords` receives the keyword views.
IndexNode index_node(const json::Value& node, std::vector<std::string_view>& keywords,
                     std::deque<std::string>& arena) {
  IndexNode n;
  if (!node.is_object()) return n;
  n.id = text_or_empty(node.find("id"), arena);
  if (const auto* s = node.find("summary"); s && s->is_string()) n.summary = s->as_string();
  if (const auto* c = node.find("content"); c && c->is_string()) n.content = c->as_string();
  if (const auto* nm = node.find("name"); nm && nm->is_string()) n.name = nm->as_string();
  if (const auto* k = node.find("kind"); k && k->is_string()) n.is_symbol = k->as_string() == "symbol";
  if (const auto* h = node.find("file_hash"); h && h->is_string()) n.file_hash = h->as_string();
  if (const auto* s = node.find("size"); s && s->is_int()) n.size = s->as_int();
  keywords.clear();
  if (const auto* kw = node.find("keywords"); kw && kw->is_array())
    for (const auto& k : kw->as_array())
      if (k.is_string()) keywords.push_back(k.as_string());
  n.keywords = keywords;
  return n;
}

// The project directory a graph names, when it is one.
std::string project_root(std::string_view root) {
  if (root.empty()) return "";
  std::string r(root);
  return fs::is_dir(r) ? r : "";
}

namespace od = simdjson::ondemand;
using json_walk::check;
using json_walk::full_reader;
using json_walk::is_null;
using json_walk::key_of;
using json_walk::string_of;

// One walk over the mapped graph file (a full check of its text, as
// json_walk.h says), handing the fields the index reads to the builder as
// views into the file or the parser's buffer, with where each node and edge
// is written. Anything the in-memory reader would answer otherwise (a node
// that is not a map, an id that is a list, a summary that is not text) ends
// the walk: such graphs take the full reader's path.
class GraphWalk {
 public:
  GraphWalk(od::document& doc, const char* base, IndexBuilder& builder) : doc_(doc), base_(base), b_(builder) {}

  // The graph's "root".
  std::string read() {
    bool nodes_seen = false, edges_seen = false;
    std::string root;
    for (od::field f : doc_.get_object()) {
      const std::string_view key = key_of(f);
      od::value v = f.value();
      if (key == "nodes") {
        if (std::exchange(nodes_seen, true)) full_reader();
        read_nodes(v);
      } else if (key == "edges") {
        if (std::exchange(edges_seen, true)) full_reader();
        read_edges(v);
      } else if (key == "root") {
        root = std::string(string_or_none(v));
      } else {
        check(v);
      }
    }
    if (!json_walk::at_end(doc_)) full_reader();
    return root;
  }

 private:
  std::string_view string_or_none(od::value& v) {
    if (v.type() == od::json_type::string) return string_of(v, arena_);
    check(v);
    return {};
  }

  // An id's text: a string, or a number's or literal's text form; null goes
  // to the full reader (the in-memory reader reads it as no id).
  std::string_view id_of(od::value& v) {
    if (v.type() == od::json_type::null) full_reader();
    bool is_str;
    return json_walk::text_of(v, is_str, arena_);
  }

  static int64_t size_of(od::value& v) {
    if (v.type() != od::json_type::number) {
      check(v);
      return -1;
    }
    const std::string_view token = trim_token(v.raw_json_token());
    if (!valid_number_token(token)) full_reader();
    if (token.empty() || token.size() > 18 || token.find_first_not_of("0123456789") != token.npos) return -1;
    int64_t n = 0;
    for (char c : token) n = n * 10 + (c - '0');
    return n;
  }

  TextRange range_of(const char* start) {
    const std::string_view text = json_walk::walked_text(doc_, start);
    if (text.size() > UINT32_MAX) full_reader();
    return {static_cast<uint64_t>(text.data() - base_), static_cast<uint32_t>(text.size())};
  }

  void read_nodes(od::value& list) {
    if (is_null(list)) return;
    uint32_t index = 0;
    for (auto element : list.get_array()) {
      od::value v = element.value();
      if (v.type() != od::json_type::object) full_reader();
      const char* start = v.current_location();
      IndexNode n;  // a repeated key's last value wins, as in Python's reader
      keywords_.clear();
      for (od::field f : v.get_object()) {
        const std::string_view key = key_of(f);
        od::value fv = f.value();
        if (key == "id") {
          n.id = id_of(fv);
        } else if (key == "content") {
          // Decoded, and its escapes checked, when the file is indexed.
          n.content = {};
          n.content_escaped = false;
          if (fv.type() == od::json_type::string) {
            const std::string_view token = trim_token(fv.raw_json_token());
            json_walk::consume_string(fv);
            n.content = token.substr(1, token.size() - 2);
            n.content_escaped = has_backslash(n.content);
          } else {
            check(fv);
          }
        } else if (key == "kind") {
          n.is_symbol = string_or_none(fv) == "symbol";
        } else if (key == "summary") {
          if (is_null(fv)) n.summary = {};
          else if (fv.type() == od::json_type::string) n.summary = string_of(fv, arena_);
          else full_reader();
        } else if (key == "keywords") {
          keywords_.clear();
          if (!is_null(fv)) {
            if (fv.type() != od::json_type::array) full_reader();
            for (auto k : fv.get_array()) {
              od::value kv = k.value();
              if (kv.type() != od::json_type::string) full_reader();
              keywords_.push_back(string_of(kv, arena_));
            }
          }
        } else if (key == "name") {
          n.name = string_or_none(fv);
        } else if (key == "file_hash") {
          n.file_hash = string_or_none(fv);
        } else if (key == "size") {
          n.size = size_of(fv);
        } else {
          check(fv);
        }
      }
      n.keywords = keywords_;
      b_.add_node(index++, n, range_of(start));
    }
  }

  void read_edges(od::value& list) {
    if (is_null(list)) return;
    for (auto element : list.get_array()) {
      od::value v = element.value();
      if (v.type() != od::json_type::object) full_reader();
      const char* start = v.current_location();
      IndexEdge e;
      bool is_str;
      for (od::field f : v.get_object()) {
        const std::string_view key = key_of(f);
        od::value fv = f.value();
        if (key == "from") e.from = json_walk::text_of(fv, e.from_is_str, arena_);
        else if (key == "to") e.to = json_walk::text_of(fv, e.to_is_str, arena_);
        else if (key == "rel") e.rel = json_walk::text_of(fv, is_str, arena_);
        else check(fv);
      }
      e.text = range_of(start);
      b_.add_edge(e);
    }
  }

  od::document& doc_;
  const char* base_;
  IndexBuilder& b_;
  std::vector<std::string_view> keywords_;  // the current node's
  TextArena arena_;
};

}  // namespace

std::string build_index(const json::Value& graph) {
  IndexBuilder b;
  if (!graph.is_object()) return b.finish({}, {}, 0, "");
  std::deque<std::string> arena;
  std::vector<std::string_view> keywords;
  if (const json::Value* nodes = graph.find("nodes"); nodes && nodes->is_array())
    for (size_t i = 0; i < nodes->as_array().size(); ++i)
      b.add_node(static_cast<uint32_t>(i), index_node(nodes->as_array()[i], keywords, arena));
  const json::Value* root = graph.find("root");
  return b.finish({}, {}, 0, project_root(root && root->is_string() ? std::string_view(root->as_string()) : ""));
}

std::optional<std::string> build_index_from_file(const std::string& path, const RelevanceIndex* previous,
                                                 size_t* lent) {
  fs::OpenedFile opened;
  try {
    opened = fs::open_for_reading(path);
  } catch (const fs::OsError&) {
    return std::nullopt;
  }
  if (opened.found != fs::Found::File) return std::nullopt;
  int64_t stat_time = 0;
  const auto stat = stat_graph(opened.fd.get(), &stat_time);
  if (!stat) return std::nullopt;
  auto [sig, identity] = *stat;
  MappedFile file(opened.fd.get(), sig.size, simdjson::SIMDJSON_PADDING);
  if (!file.data()) return std::nullopt;
  // The digest is one more pass over the bytes, and so is checking that a
  // stale index is whole: both taken beside the walk.
  bool previous_intact = false;
  std::jthread digest([&s = sig, &file, &previous_intact, previous] {
    s.digest = digest64(file.text());
    previous_intact = previous && previous->intact();
  });
  const size_t skip = file.text().starts_with("\xEF\xBB\xBF") ? 3 : 0;
  const size_t size = file.size() - skip;
  od::parser parser;  // holds the decoded strings the builder's views point into
  IndexBuilder b(file.text());
  try {
    od::document doc = parser.iterate(file.data() + skip, size, size + simdjson::SIMDJSON_PADDING);
    GraphWalk walk(doc, file.data(), b);  // holds the text of ids that are not strings until the end
    const std::string root = walk.read();
    digest.join();
    return b.finish(sig, identity, stat_time, project_root(root), previous_intact ? previous : nullptr, lent);
  } catch (const json_walk::NeedsFullReader&) {
    return std::nullopt;
  } catch (const simdjson::simdjson_error&) {
    return std::nullopt;
  }
}

}  // namespace kestrune::br
