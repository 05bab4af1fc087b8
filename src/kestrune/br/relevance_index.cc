#include "kestrune/br/relevance_index.h"

#include <simdjson.h>

#include <algorithm>
#include <deque>
#include <unordered_map>

#include "kestrune/base/fs.h"
#include "kestrune/base/md5.h"
#include "kestrune/base/text.h"
#include "kestrune/br/imports.h"
#include "kestrune/br/mapped_file.h"
#include "kestrune/br/terms.h"

namespace kestrune::br {
namespace {

constexpr char kMagic[8] = {'K', 'R', 'E', 'L', 'I', 'D', 'X', '2'};

uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

// Eight bytes at a time: the index hashes every word of every file.
uint64_t hash_bytes(std::string_view s) {
  uint64_t h = 0x9e3779b97f4a7c15ULL ^ s.size();
  const char* p = s.data();
  size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    h = (h ^ v) * 0xff51afd7ed558ccdULL;
    h ^= h >> 32;
  }
  if (n) {
    uint64_t v = 0;
    std::memcpy(&v, p, n);
    h = (h ^ v) * 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 29;
  }
  h = mix(h);
  return h ? h : 1;
}

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

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

bool is_word_byte(unsigned char c) { return terms_detail::is_word_byte(c); }

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

template <class T>
void put(std::string& out, const T& v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}
template <class T>
void put_vec(std::string& out, const std::vector<T>& v) {
  put(out, static_cast<uint64_t>(v.size()));
  out.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
  while (out.size() % 8) out.push_back('\0');
}

}  // namespace

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
  if (ends_with(stem, "_test") || ends_with(stem, ".test") || ends_with(stem, ".spec") || ends_with(stem, "_spec") ||
      ends_with(stem, ".test-d"))
    return DocKind::Test;
  if (ext == ".json" || ext == ".yaml" || ext == ".yml" || ext == ".toml" || ext == ".xml" || ext == ".csv" ||
      ext == ".lock" || ext == ".xaml")
    return DocKind::Data;
  return DocKind::Code;
}

uint64_t term_hash(std::string_view term) { return hash_bytes(term); }

// ---- building ---------------------------------------------------------------

// The whole text of a file the graph holds only the head of: read from the
// project when it is still the file the graph was made from (same
// fingerprint), decoded as the scanner decodes it. "" otherwise.
std::string whole_text(const std::string& root, std::string_view id, std::string_view file_hash) {
  if (root.empty() || file_hash.size() != 8 || id.empty() || id.front() == '/' || id.starts_with("../") ||
      id.find("/../") != id.npos)
    return "";
  try {
    const std::string path = fs::join(root, id);
    if (!fs::is_within(fs::resolve(path), fs::resolve(root))) return "";
    const auto size = fs::file_size(path);
    if (!size || *size > (4u << 20)) return "";
    std::string text = fs::read_bytes(path);
    if (!text::is_valid_utf8(text)) text = text::decode(text, text::Errors::Drop);
    if (text.find('\r') != std::string::npos) text = text::universal_newlines(text);
    if (md5_hex(text).compare(0, 8, file_hash) != 0) return "";
    return text;
  } catch (const std::exception&) {
    return "";
  }
}

struct IndexBuilder::Impl {
  struct DocBuild {
    std::string_view id;
    uint32_t node = kNoNode, first_node = kNoNode;
    std::string_view ext, summary, content, file_hash;
    std::span<const std::string_view> keywords;
    std::vector<std::pair<uint32_t, std::string_view>> symbols;  // node, name
  };

  std::string root, go_module;
  std::deque<std::string> whole_texts;
  std::vector<DocBuild> docs;
  std::unordered_map<std::string_view, uint32_t> doc_of;
  std::vector<TextRange> node_text;
  std::vector<IndexEdge> edges;
  bool has_ranges = true;

  // Raw identifier -> its terms' local ids (whole first), in `word_terms`.
  U64Map word_cache;
  struct Recent {
    uint64_t hash = 0;
    uint32_t slot = 0;
  };
  static constexpr size_t kRecent = 1 << 12;
  std::vector<Recent> recent = std::vector<Recent>(kRecent);
  std::vector<uint32_t> word_terms;
  std::vector<std::pair<uint32_t, uint32_t>> word_spans;
  // Term hash -> local term id; per local id: the doc it was last seen in and its counts there.
  U64Map term_ids;
  std::vector<uint64_t> local_hash;
  // Per local id, side by side: one cache line per word counted.
  struct Tally {
    uint32_t doc = UINT32_MAX;  // the doc it was last counted for
    std::array<uint8_t, kFieldCount> tf{};
  };
  std::vector<Tally> tally;
  std::vector<uint32_t> doc_terms;  // local ids of the current doc
  struct BuildPosting {
    uint32_t term, doc;
    std::array<uint8_t, kFieldCount> tf;
  };
  std::vector<BuildPosting> postings;
  std::string scratch;
  uint32_t lens[kFieldCount] = {};

  uint32_t doc_for(std::string_view id, uint32_t node) {
    auto [it, added] = doc_of.try_emplace(id, static_cast<uint32_t>(docs.size()));
    if (added) {
      docs.emplace_back();
      docs.back().id = id;
      docs.back().first_node = node;
    }
    return it->second;
  }

  uint32_t local_id(uint64_t term) {
    bool added;
    const uint32_t id = term_ids.get(term, static_cast<uint32_t>(local_hash.size()), added);
    if (added) {
      local_hash.push_back(term);
      tally.emplace_back();
    }
    return id;
  }

  void count(uint64_t term, int field, uint32_t doc) { count_id(local_id(term), field, doc); }

  void count_id(uint32_t id, int field, uint32_t doc) {
    Tally& t = tally[id];
    if (t.doc != doc) {
      t.doc = doc;
      t.tf = {};
      doc_terms.push_back(id);
    }
    uint8_t& c = t.tf[field];
    if (c < 255) ++c;
    ++lens[field];
  }

  // The terms of one raw identifier, worked out once per distinct spelling.
  std::pair<uint32_t, uint32_t> word(std::string_view raw, uint64_t raw_hash) {
    // Most words repeat within a file and across neighbours: a small table
    // that stays in the cache answers them before the large one.
    Recent& r = recent[raw_hash & (kRecent - 1)];
    if (r.hash == raw_hash) return word_spans[r.slot];
    bool added;
    const uint32_t slot = word_cache.get(raw_hash, static_cast<uint32_t>(word_spans.size()), added);
    r = {raw_hash, slot};
    if (!added) return word_spans[slot];
    const uint32_t begin = static_cast<uint32_t>(word_terms.size());
    for_each_term(raw, scratch, [&](std::string_view term, bool) { word_terms.push_back(local_id(term_hash(term))); });
    word_spans.emplace_back(begin, static_cast<uint32_t>(word_terms.size()) - begin);
    return word_spans.back();
  }

  void add_words(std::string_view text, int field, uint32_t doc) {
    for_each_term(text, scratch, [&](std::string_view term, bool) { count(term_hash(term), field, doc); });
  }

  // The body: every identifier, and the names that follow a declaring keyword
  // (def, class, func, function, type, interface, struct, enum) once more as
  // declarations. A Go method's receiver is passed over.
  void add_body(std::string_view text, uint32_t doc) {
    static const uint64_t kDeclare[] = {hash_bytes("def"),       hash_bytes("class"),  hash_bytes("func"),
                                        hash_bytes("function"),  hash_bytes("type"),   hash_bytes("interface"),
                                        hash_bytes("struct"),    hash_bytes("enum"),   hash_bytes("trait"),
                                        hash_bytes("fn")};
    static const uint64_t kFunc = hash_bytes("func");
    enum { None, Next, Receiver } state = None;
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      if (!is_word_byte(c)) {
        if (state == Receiver && c == ')') state = Next;
        else if (state == Next && c == '(' ) state = None;
        else if (state == Next && c != ' ' && c != '\t' && c != '*') state = None;
        ++i;
        continue;
      }
      size_t j = i;
      while (j < n && is_word_byte(static_cast<unsigned char>(text[j]))) ++j;
      const std::string_view raw = text.substr(i, j - i);
      i = j;
      if (raw.size() > 64 || raw.size() < 2) {
        // Too long to be a word, or a one-letter name: no term, but a
        // declaration still ends here.
        if (state == Next) state = None;
        continue;
      }
      const uint64_t h = hash_bytes(raw);
      auto [begin, size] = word(raw, h);
      for (uint32_t k = begin; k < begin + size; ++k) count_id(word_terms[k], kBodyField, doc);
      if (state == Receiver) continue;
      if (state == Next) {
        for (uint32_t k = begin; k < begin + size; ++k) count_id(word_terms[k], kDefsField, doc);
        state = None;
        continue;
      }
      if (raw.size() <= 9) {
        if (std::find(std::begin(kDeclare), std::end(kDeclare), h) != std::end(kDeclare)) {
          state = Next;
          size_t k = j;
          while (k < n && (text[k] == ' ' || text[k] == '\t')) ++k;
          if (h == kFunc && k < n && text[k] == '(') state = Receiver;
        }
      }
    }
  }

  void index_doc(uint32_t d) {
    const DocBuild& doc = docs[d];
    doc_terms.clear();
    std::fill(std::begin(lens), std::end(lens), 0);
    add_words(doc.id, kPathField, d);
    for (const auto& [node, name] : doc.symbols) add_words(name, kDefsField, d);
    for (std::string_view k : doc.keywords) add_words(k, kMetaField, d);
    add_words(doc.summary, kMetaField, d);
    add_body(doc.content, d);
    for (uint32_t id : doc_terms) postings.push_back({id, d, tally[id].tf});
  }
};

IndexBuilder::IndexBuilder(std::string root) : impl_(new Impl) {
  impl_->go_module = go_module_of(root);
  impl_->root = std::move(root);
}
IndexBuilder::~IndexBuilder() { delete impl_; }

void IndexBuilder::add_node(uint32_t index, const IndexNode& n, TextRange text) {
  Impl& m = *impl_;
  if (m.node_text.size() <= index) m.node_text.resize(index + 1);
  m.node_text[index] = text;
  if (text.size == 0) m.has_ranges = false;
  if (n.is_symbol) {
    const std::string_view base = n.id.substr(0, n.id.find("::"));
    Impl::DocBuild& doc = m.docs[m.doc_for(base, index)];
    doc.symbols.emplace_back(index, n.name.empty() ? n.id.substr(std::min(n.id.size(), base.size() + 2)) : n.name);
    return;
  }
  Impl::DocBuild& doc = m.docs[m.doc_for(n.id, index)];
  if (doc.node != kNoNode) return;  // the same file reached twice: its first node stands for it
  doc.node = index;
  doc.ext = n.ext;
  doc.summary = n.summary;
  doc.content = n.content;
  doc.file_hash = n.file_hash;
  doc.keywords = n.keywords;
}

void IndexBuilder::add_edge(const IndexEdge& edge) {
  impl_->edges.push_back(edge);
  if (edge.text.size == 0) impl_->has_ranges = false;
}

std::string IndexBuilder::finish(const FileSignature& graph) {
  Impl& m = *impl_;
  const uint32_t n_docs = static_cast<uint32_t>(m.docs.size());
  std::vector<RelevanceIndex::Doc> docs(n_docs);
  std::string strings;
  double total_len[kFieldCount] = {};
  for (uint32_t d = 0; d < n_docs; ++d) {
    // The scanner keeps a text's first 24 000 characters: a longer file is
    // read whole when it can be, so what it declares further down counts too.
    Impl::DocBuild& doc = m.docs[d];
    if (doc.content.size() >= 24000 && !m.root.empty())
      if (std::string whole = whole_text(m.root, doc.id, doc.file_hash); whole.size() > doc.content.size())
        doc.content = m.whole_texts.emplace_back(std::move(whole));
    m.index_doc(d);
    RelevanceIndex::Doc& out = docs[d];
    out = {};
    out.node = m.docs[d].node;
    out.first_node = m.docs[d].first_node;
    out.kind = static_cast<uint8_t>(doc_kind(m.docs[d].id));
    for (int f = 0; f < kFieldCount; ++f) {
      out.len[f] = m.lens[f];
      total_len[f] += m.lens[f];
    }
    out.id_offset = static_cast<uint32_t>(strings.size());
    out.id_size = static_cast<uint32_t>(m.docs[d].id.size());
    strings += m.docs[d].id;
  }

  // Terms in hash order, their postings in doc order.
  const size_t n_terms = m.local_hash.size();
  std::vector<uint32_t> order(n_terms);
  for (uint32_t i = 0; i < n_terms; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return m.local_hash[a] < m.local_hash[b]; });
  std::vector<uint32_t> rank(n_terms);
  std::vector<uint64_t> hashes(n_terms);
  for (uint32_t r = 0; r < n_terms; ++r) {
    rank[order[r]] = r;
    hashes[r] = m.local_hash[order[r]];
  }
  std::vector<uint32_t> begin(n_terms + 1, 0);
  for (const auto& p : m.postings) ++begin[rank[p.term] + 1];
  for (size_t r = 0; r < n_terms; ++r) begin[r + 1] += begin[r];
  std::vector<RelevanceIndex::Posting> postings(m.postings.size());
  {
    std::vector<uint32_t> fill(begin.begin(), begin.end() - 1);
    for (const auto& p : m.postings) {
      RelevanceIndex::Posting& out = postings[fill[rank[p.term]]++];
      out.doc = p.doc;
      std::copy(p.tf.begin(), p.tf.end(), out.tf);
    }
  }

  // Imports, from each file's own text, and the reverse lists.
  std::vector<std::string_view> ids(n_docs);
  for (uint32_t d = 0; d < n_docs; ++d) ids[d] = m.docs[d].id;
  ImportResolver resolver(ids, m.go_module);
  std::vector<std::vector<uint32_t>> out_links(n_docs), in_links(n_docs);
  for (uint32_t d = 0; d < n_docs; ++d) {
    if (m.docs[d].content.empty()) continue;
    out_links[d] = resolver.resolve(d, m.docs[d].content);
    for (uint32_t t : out_links[d]) in_links[t].push_back(d);
  }
  std::vector<uint32_t> links;
  for (uint32_t d = 0; d < n_docs; ++d) {
    docs[d].imp_begin = static_cast<uint32_t>(links.size());
    links.insert(links.end(), out_links[d].begin(), out_links[d].end());
    docs[d].imp_end = static_cast<uint32_t>(links.size());
    docs[d].by_begin = static_cast<uint32_t>(links.size());
    links.insert(links.end(), in_links[d].begin(), in_links[d].end());
    docs[d].by_end = static_cast<uint32_t>(links.size());
  }

  std::vector<RelevanceIndex::Symbol> symbols;
  for (uint32_t d = 0; d < n_docs; ++d) {
    docs[d].sym_begin = static_cast<uint32_t>(symbols.size());
    for (const auto& [node, name] : m.docs[d].symbols) {
      symbols.push_back({node, static_cast<uint32_t>(strings.size()), static_cast<uint32_t>(name.size())});
      strings += name;
    }
    docs[d].sym_end = static_cast<uint32_t>(symbols.size());
  }

  std::vector<TextRange> node_text;
  std::vector<RelevanceIndex::EdgeRecord> edges;
  if (m.has_ranges) {
    node_text = m.node_text;
    for (const IndexEdge& e : m.edges) {
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

  std::string out;
  out.append(kMagic, sizeof kMagic);
  put(out, graph.size);
  put(out, graph.mtime_ns);
  put(out, graph.digest);
  for (int f = 0; f < kFieldCount; ++f) put(out, static_cast<float>(n_docs ? total_len[f] / n_docs : 0.0));
  put(out, static_cast<uint32_t>(m.has_ranges ? 1 : 0));
  put(out, static_cast<uint32_t>(0));
  put_vec(out, docs);
  put_vec(out, hashes);
  put_vec(out, begin);
  put_vec(out, postings);
  put_vec(out, links);
  put_vec(out, symbols);
  put_vec(out, node_text);
  put_vec(out, edges);
  put(out, static_cast<uint64_t>(strings.size()));
  out += strings;
  return out;
}

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
  if (!r.get(ix.signature_.size) || !r.get(ix.signature_.mtime_ns) || !r.get(ix.signature_.digest)) return std::nullopt;
  for (float& a : ix.avg_len_)
    if (!r.get(a)) return std::nullopt;
  if (!r.get(ranges) || !r.get(reserved)) return std::nullopt;
  ix.has_ranges_ = ranges != 0;
  if (!r.span(ix.docs_) || !r.span(ix.term_hashes_) || !r.span(ix.post_begin_) || !r.span(ix.postings_) ||
      !r.span(ix.links_) || !r.span(ix.symbols_) || !r.span(ix.node_text_) || !r.span(ix.edges_) ||
      !r.rest(ix.strings_))
    return std::nullopt;
  // Everything an accessor reaches is checked once here.
  if (ix.post_begin_.size() != ix.term_hashes_.size() + 1 || ix.post_begin_.back() != ix.postings_.size())
    return std::nullopt;
  for (size_t i = 0; i + 1 < ix.post_begin_.size(); ++i)
    if (ix.post_begin_[i] > ix.post_begin_[i + 1]) return std::nullopt;
  const size_t n_docs = ix.docs_.size();
  for (const Posting& p : ix.postings_)
    if (p.doc >= n_docs) return std::nullopt;
  for (uint32_t l : ix.links_)
    if (l >= n_docs) return std::nullopt;
  auto in = [](uint64_t off, uint64_t size, uint64_t total) { return off <= total && size <= total - off; };
  for (const Doc& d : ix.docs_) {
    if (d.sym_begin > d.sym_end || d.sym_end > ix.symbols_.size() || d.imp_begin > d.imp_end ||
        d.imp_end > ix.links_.size() || d.by_begin > d.by_end || d.by_end > ix.links_.size() ||
        !in(d.id_offset, d.id_size, ix.strings_.size()))
      return std::nullopt;
  }
  for (const Symbol& s : ix.symbols_)
    if (!in(s.name_offset, s.name_size, ix.strings_.size())) return std::nullopt;
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

std::span<const RelevanceIndex::Posting> RelevanceIndex::postings(uint64_t term) const {
  auto it = std::lower_bound(term_hashes_.begin(), term_hashes_.end(), term);
  if (it == term_hashes_.end() || *it != term) return {};
  const size_t r = static_cast<size_t>(it - term_hashes_.begin());
  return postings_.subspan(post_begin_[r], post_begin_[r + 1] - post_begin_[r]);
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
  n.ext = text_or_empty(node.find("ext"), arena);
  if (const auto* s = node.find("summary"); s && s->is_string()) n.summary = s->as_string();
  if (const auto* c = node.find("content"); c && c->is_string()) n.content = c->as_string();
  if (const auto* nm = node.find("name"); nm && nm->is_string()) n.name = nm->as_string();
  if (const auto* k = node.find("kind"); k && k->is_string()) n.is_symbol = k->as_string() == "symbol";
  if (const auto* h = node.find("file_hash"); h && h->is_string()) n.file_hash = h->as_string();
  keywords.clear();
  if (const auto* kw = node.find("keywords"); kw && kw->is_array())
    for (const auto& k : kw->as_array())
      if (k.is_string()) keywords.push_back(k.as_string());
  n.keywords = keywords;
  return n;
}

IndexEdge index_edge(const json::Value& edge, std::deque<std::string>& arena) {
  IndexEdge e;
  if (!edge.is_object()) return e;
  if (const auto* v = edge.find("from")) e.from = text_or_empty(v, arena), e.from_is_str = v->is_string();
  if (const auto* v = edge.find("to")) e.to = text_or_empty(v, arena), e.to_is_str = v->is_string();
  if (const auto* v = edge.find("rel")) e.rel = text_or_empty(v, arena);
  return e;
}

// The project directory a graph names, when it is one.
std::string root_of(const json::Value& graph) {
  const json::Value* root = graph.find("root");
  if (!root || !root->is_string() || root->as_string().empty()) return "";
  return fs::is_dir(root->as_string()) ? root->as_string() : "";
}

const json::Array* list_of(const json::Value& graph, std::string_view key) {
  const json::Value* v = graph.find(key);
  return v && v->is_array() ? &v->as_array() : nullptr;
}

}  // namespace

std::string build_index(const json::Value& graph) {
  if (!graph.is_object()) return IndexBuilder().finish({});
  IndexBuilder b(root_of(graph));
  std::deque<std::string> arena;
  std::deque<std::vector<std::string_view>> keyword_lists;
  if (const json::Array* nodes = list_of(graph, "nodes"))
    for (size_t i = 0; i < nodes->size(); ++i)
      b.add_node(static_cast<uint32_t>(i), index_node((*nodes)[i], keyword_lists.emplace_back(), arena));
  return b.finish({});
}

std::string index_path(const std::string& graph_path) { return graph_path + ".relevance"; }

namespace {

// Where the graph text holds each node and each edge: the elements of the last
// "nodes" and "edges" lists of the root object, as Python's reader keeps the
// last of repeated keys. False when the text is not laid out that way.
bool find_ranges(const char* base, size_t skip, size_t size, std::vector<TextRange>& nodes,
                 std::vector<TextRange>& edges) {
  namespace od = simdjson::ondemand;
  od::parser parser;
  try {
    od::document doc = parser.iterate(base + skip, size, size + simdjson::SIMDJSON_PADDING);
    for (od::field f : doc.get_object()) {
      std::string_view key = f.unescaped_key();
      od::value v = f.value();
      if (key != "nodes" && key != "edges") continue;
      std::vector<TextRange>& out = key == "nodes" ? nodes : edges;
      out.clear();
      if (v.type() != od::json_type::array) return false;
      for (auto element : v.get_array()) {
        od::object o = element.get_object();
        std::string_view raw = o.raw_json();
        while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\n' || raw.back() == '\r' || raw.back() == '\t'))
          raw.remove_suffix(1);
        if (raw.empty() || raw.front() != '{' || raw.back() != '}' || raw.size() > UINT32_MAX) return false;
        out.push_back({static_cast<uint64_t>(raw.data() - base), static_cast<uint32_t>(raw.size())});
      }
    }
  } catch (const simdjson::simdjson_error&) {
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> build_index_from_file(const std::string& path) {
  const std::optional<FileSignature> before = stat_signature(path);
  if (!before) return std::nullopt;
  // The exact reader decides what the graph is, and fails as retrieval would.
  const json::Value graph = json::load_file(path);
  if (!graph.is_object()) return std::nullopt;
  MappedFile file(path, simdjson::SIMDJSON_PADDING);
  if (!file.data() || file.size() != before->size) return std::nullopt;
  FileSignature sig = *before;
  sig.digest = digest64(file.text());
  const size_t skip = file.text().starts_with("\xEF\xBB\xBF") ? 3 : 0;
  std::vector<TextRange> node_ranges, edge_ranges;
  const json::Array* nodes = list_of(graph, "nodes");
  const json::Array* edges = list_of(graph, "edges");
  if (!find_ranges(file.data(), skip, file.size() - skip, node_ranges, edge_ranges) ||
      node_ranges.size() != (nodes ? nodes->size() : 0) || edge_ranges.size() != (edges ? edges->size() : 0))
    return std::nullopt;
  IndexBuilder b(root_of(graph));
  std::deque<std::string> arena;
  std::deque<std::vector<std::string_view>> keyword_lists;
  for (size_t i = 0; i < node_ranges.size(); ++i)
    b.add_node(static_cast<uint32_t>(i), index_node((*nodes)[i], keyword_lists.emplace_back(), arena), node_ranges[i]);
  for (size_t i = 0; i < edge_ranges.size(); ++i) {
    IndexEdge e = index_edge((*edges)[i], arena);
    e.text = edge_ranges[i];
    b.add_edge(e);
  }
  return b.finish(sig);
}

}  // namespace kestrune::br
