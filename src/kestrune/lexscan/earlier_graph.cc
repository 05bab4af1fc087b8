#include "kestrune/lexscan/earlier_graph.h"

#include <cstring>
#include <optional>

#include "kestrune/base/json.h"

namespace kestrune::lexscan {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;

// Whether any of the eight bytes needs a look of its own inside a string
// literal: a control character, DEL or beyond, a quote or a backslash.
inline bool special(uint64_t w) {
  const uint64_t control = (w - kOnes * 0x20) & ~w & kHighs;
  const uint64_t high = (w | ((w & ~kHighs) + kOnes)) & kHighs;  // >= 0x7f
  const uint64_t q = w ^ (kOnes * '"'), b = w ^ (kOnes * '\\');
  const uint64_t quote = (q - kOnes) & ~q & kHighs, backslash = (b - kOnes) & ~b & kHighs;
  return (control | high | quote | backslash) != 0;
}

int hex_digit(char h) {
  if (h >= '0' && h <= '9') return h - '0';
  if (h >= 'a' && h <= 'f') return h - 'a' + 10;
  return -1;  // upper case is not what json.dumps writes
}

// Reads a graph file's text line by line against the layout json.dumps(graph,
// indent=2) gives it: every string as ensure_ascii writes it, every integer
// plain. Any other byte anywhere makes it fail.
class LayoutReader {
 public:
  explicit LayoutReader(std::string_view text) : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  size_t offset() const { return static_cast<size_t>(p_ - begin_); }
  bool done() const { return p_ == end_; }

  // The exact text `s`.
  bool lit(std::string_view s) {
    if (static_cast<size_t>(end_ - p_) < s.size() || std::memcmp(p_, s.data(), s.size()) != 0) return false;
    p_ += s.size();
    return true;
  }
  // A string literal; `out`, when given, gets its text as written.
  bool str(std::string_view* out = nullptr) {
    const char* start = p_;
    if (p_ == end_ || *p_ != '"') return false;
    ++p_;
    for (;;) {
      while (end_ - p_ >= 8) {
        uint64_t w;
        std::memcpy(&w, p_, 8);
        if (special(w)) break;
        p_ += 8;
      }
      if (p_ == end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        if (out) *out = std::string_view(start, static_cast<size_t>(p_ - start));
        return true;
      }
      if (c < 0x20 || c >= 0x7f) return false;
      if (c != '\\') {
        ++p_;
        continue;
      }
      if (end_ - p_ < 2) return false;
      const char e = p_[1];
      if (e == '"' || e == '\\' || e == 'n' || e == 'r' || e == 't' || e == 'b' || e == 'f') {
        p_ += 2;
        continue;
      }
      if (e != 'u' || end_ - p_ < 6) return false;
      int v = 0;
      for (int k = 2; k < 6; ++k) {
        const int d = hex_digit(p_[k]);
        if (d < 0) return false;
        v = v * 16 + d;
      }
      // Printable ASCII is written as itself, and five controls have short forms.
      if ((v >= 0x20 && v < 0x7f) || v == '\b' || v == '\t' || v == '\n' || v == '\f' || v == '\r') return false;
      p_ += 6;
    }
  }
  // An integer as Python writes it (no "-0", no leading zeros), small
  // enough to need no care.
  bool integer() {
    const bool minus = p_ != end_ && *p_ == '-';
    if (minus) ++p_;
    const char* digits = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    const size_t n = static_cast<size_t>(p_ - digits);
    return n >= 1 && n <= 18 && (*digits != '0' || (n == 1 && !minus));
  }
  bool boolean() { return lit("true") || lit("false"); }

  // `  "key": ` followed by a string, then `end`.
  bool member_str(std::string_view key, std::string_view end, std::string_view* out = nullptr) {
    return member(key) && str(out) && lit(end);
  }
  bool member_int(std::string_view key, std::string_view end) { return member(key) && integer() && lit(end); }
  bool member(std::string_view key) {
    return lit(indent_) && lit("\"") && lit(key) && lit("\": ");
  }
  void indent(std::string_view in) { indent_ = in; }

 private:
  const char* begin_;
  const char* p_;
  const char* end_;
  std::string_view indent_;
};

constexpr std::string_view kTop = "  ", kMember = "      ";


// One node, from its "    {" to its "    }". A file node's id, fingerprint and
// extent go to `entry`; kind tells which layout follows.
bool read_node(LayoutReader& r, std::string_view& id, std::string_view& file_hash, bool& file) {
  r.indent(kMember);
  std::string_view kind;
  if (!r.lit("    {\n") || !r.member_str("id", ",\n", &id) || !r.member_str("kind", ",\n", &kind) ||
      !r.member_str("path", ",\n") || !r.member_str("ext", ",\n") || !r.member_int("size", ",\n") ||
      !r.member("keywords"))
    return false;
  if (!r.lit("[],\n")) {
    if (!r.lit("[\n")) return false;
    do {
      if (!r.lit("        ") || !r.str()) return false;
    } while (r.lit(",\n"));
    if (!r.lit("\n      ],\n")) return false;
  }
  file = kind == "\"file\"";
  if (file)
    return r.member_str("content", ",\n") && r.member_str("summary", ",\n") &&
           r.member_str("file_hash", "\n", &file_hash) && r.lit("    }");
  return r.member_str("symbol_type", ",\n") && r.member_str("name", ",\n") && r.member_int("line_start", ",\n") &&
         r.member_int("line_end", ",\n") && r.member_str("body_hash", ",\n") && r.member_str("confidence", ",\n") &&
         r.member("exported") && r.boolean() && r.lit("\n    }");
}

}  // namespace

// Mapped lazily: a scan with the cache reads the whole text only to digest
// it, on another thread, while the walk goes on.
EarlierGraph::EarlierGraph(const std::string& path) : file_(path, 0, fs::MappedFile::Lazily{}) {}

FileSignature EarlierGraph::signature() const {
  file_.populate();
  FileSignature s;
  s.size = file_.size();
  s.mtime_ns = file_.stat().mtime_ns;
  s.digest = digest64(text());
  return s;
}

std::string_view EarlierGraph::keep(std::string&& s) { return decoded_.emplace_back(std::move(s)); }

bool EarlierGraph::index(const ScanCache& cache) {
  entries_.clear();
  decoded_.clear();
  cache_ = nullptr;
  const uint64_t size = text().size();
  for (const CachedFile& f : cache.files)
    if (f.at > size || f.text_len > size - f.at || f.node_len > f.text_len) return false;
  cache_ = &cache;
  return true;
}

void EarlierGraph::build() const {
  std::call_once(built_, [this] {
    if (!cache_) return;
    entries_.reserve(cache_->files.size());
    // The last node of an id is the one reused.
    for (const CachedFile& f : cache_->files) entries_.insert_or_assign(f.id, Entry{f.at, f.node_len, f.file_hash});
  });
}

size_t EarlierGraph::size() const {
  build();
  return entries_.size();
}

bool EarlierGraph::index_layout() {
  entries_.clear();
  decoded_.clear();
  cache_ = nullptr;
  // A string literal's text, decoded: most need no decoding.
  auto decoded = [&](std::string_view literal) {
    if (literal.find('\\') == std::string_view::npos) return literal.substr(1, literal.size() - 2);
    return keep(std::string(json::parse(literal).as_string()));
  };
  file_.populate();
  LayoutReader r(text());
  r.indent(kTop);
  if (!r.lit("{\n") || !r.member_str("root", ",\n") || !r.member_int("node_count", ",\n") ||
      !r.member_int("edge_count", ",\n") || !r.member_int("file_count", ",\n") ||
      !r.member_int("symbol_count", ",\n") || !r.member("nodes"))
    return false;
  try {
    if (!r.lit("[],\n")) {
      if (!r.lit("[\n")) return false;
      do {
        const size_t at = r.offset();
        std::string_view id, hash;
        bool file = false;
        if (!read_node(r, id, hash, file)) {
          entries_.clear();
          return false;
        }
        if (file) entries_.insert_or_assign(decoded(id), Entry{at, r.offset() - at, decoded(hash)});
      } while (r.lit(",\n"));
      if (!r.lit("\n  ],\n")) {
        entries_.clear();
        return false;
      }
    }
  } catch (const json::ParseError&) {
    entries_.clear();
    return false;
  }
  // The rest is only checked.
  r.indent(kMember);
  bool ok = r.lit("  \"edges\": ");
  if (ok && !r.lit("[]")) {
    ok = r.lit("[\n");
    while (ok) {
      ok = r.lit("    {\n") && r.member_str("from", ",\n") && r.member_str("to", ",\n") && r.member_str("rel", "\n") &&
           r.lit("    }");
      if (!ok || !r.lit(",\n")) break;
    }
    ok = ok && r.lit("\n  ]");
  }
  if (ok && r.lit(",\n")) {
    r.indent(kTop);
    ok = r.member("ast_mode") && r.boolean();
  }
  ok = ok && r.lit("\n}") && r.done();
  if (!ok) entries_.clear();
  return ok;
}

const EarlierGraph::Entry* EarlierGraph::find(std::string_view id) const {
  build();
  auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace kestrune::lexscan
