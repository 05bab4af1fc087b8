#include "kestrune/lexscan/scan_cache.h"

#include <elf.h>
#include <link.h>

#include "kestrune/base/mapped_file.h"

#include <bit>
#include <cstring>
#include <ctime>

namespace kestrune::lexscan {

namespace {

// The header: this text, the format version, the payload's length and digest.
constexpr std::string_view kMagic = "kestrune scan cache\n";
constexpr uint32_t kVersion = 1;
constexpr size_t kHeader = kMagic.size() + 4 + 8 + 8;

// Little-endian on every machine.
template <class T>
T little_endian(T v) {
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (sizeof v == 8) return static_cast<T>(__builtin_bswap64(v));
    else return static_cast<T>(__builtin_bswap32(v));
  }
  return v;
}

class Writer {
 public:
  void u8(uint8_t v) { out_ += static_cast<char>(v); }
  void u32(uint32_t v) { fixed(v); }
  void u64(uint64_t v) { fixed(v); }
  void i64(int64_t v) { fixed(static_cast<uint64_t>(v)); }
  void str(std::string_view s) {
    u32(static_cast<uint32_t>(s.size()));
    out_ += s;
  }
  void signature(const FileSignature& s) {
    u64(s.size);
    i64(s.mtime_ns);
    u64(s.digest);
  }
  std::string& out() { return out_; }

 private:
  template <class T>
  void fixed(T v) {
    v = little_endian(v);
    char b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out_.append(b, sizeof v);
  }
  std::string out_;
};

// Reads what Writer wrote; any read past the end sets failed() and yields
// zeros. Strings are views into the input.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool failed() const { return failed_; }
  bool at_end() const { return in_.empty(); }
  uint8_t u8() { return take(1) ? static_cast<uint8_t>(last_[0]) : 0; }
  uint32_t u32() { return fixed<uint32_t>(); }
  uint64_t u64() { return fixed<uint64_t>(); }
  int64_t i64() { return static_cast<int64_t>(fixed<uint64_t>()); }
  std::string_view str() {
    const uint32_t n = u32();
    return take(n) ? last_ : std::string_view();
  }
  FileSignature signature() {
    FileSignature s;
    s.size = u64();
    s.mtime_ns = i64();
    s.digest = u64();
    return s;
  }
  // A count of items that each take at least `min_bytes`: a damaged count
  // must not make the reader reserve more than the input could hold.
  size_t count(size_t min_bytes) {
    const uint64_t n = u64();
    if (n > in_.size() / min_bytes) failed_ = true;
    return failed_ ? 0 : static_cast<size_t>(n);
  }

 private:
  bool take(size_t n) {
    if (failed_ || n > in_.size()) {
      failed_ = true;
      return false;
    }
    last_ = in_.substr(0, n);
    in_.remove_prefix(n);
    return true;
  }
  template <class T>
  T fixed() {
    T v{};
    if (!take(sizeof v)) return v;
    std::memcpy(&v, last_.data(), sizeof v);
    return little_endian(v);
  }
  std::string_view in_, last_;
  bool failed_ = false;
};

void write_stat(Writer& w, const fs::FileStat& s) {
  w.u64(s.size);
  w.i64(s.mtime_ns);
  w.i64(s.ctime_ns);
  w.u64(s.ino);
  w.u64(s.dev);
  w.u32(s.mode);
}

fs::FileStat read_stat(Reader& r) {
  fs::FileStat s;
  s.size = r.u64();
  s.mtime_ns = r.i64();
  s.ctime_ns = r.i64();
  s.ino = r.u64();
  s.dev = r.u64();
  s.mode = r.u32();
  return s;
}

SymbolRef read_symbol(Reader& r) {
  SymbolRef s;
  s.id = r.str();
  s.line_start = r.i64();
  s.line_end = r.i64();
  s.body_hash = r.str();
  s.confidence = r.str();
  return s;
}

// Nearly every edge starts at its own file: that `from` is left out.
EdgeRef read_edge(Reader& r, std::string_view own) {
  const std::string_view from = r.u8() ? own : r.str();
  const std::string_view to = r.str();
  return EdgeRef{from, to, r.str()};
}

// Whether `packed` holds exactly `count` items that `read` takes.
template <class Read>
bool holds(std::string_view packed, uint32_t count, Read&& read) {
  Reader r(packed);
  for (uint32_t i = 0; i < count && !r.failed(); ++i) read(r);
  return !r.failed() && r.at_end();
}

void write_file(Writer& w, const CachedFile& f) {
  w.str(f.path);
  write_stat(w, f.stat);
  w.str(f.id);
  w.str(f.file_hash);
  w.u64(f.at);
  w.u64(f.node_len);
  w.u64(f.text_len);
  w.u8(f.last_of_id ? 1 : 0);
  w.u32(f.symbol_count);
  w.str(f.symbols);
  w.u32(f.edge_count);
  w.str(f.edges);
}

// A record, its packed parts checked.
std::optional<CachedFile> read_file(Reader& r) {
  CachedFile f;
  f.path = r.str();
  f.stat = read_stat(r);
  f.id = r.str();
  f.file_hash = r.str();
  f.at = r.u64();
  f.node_len = r.u64();
  f.text_len = r.u64();
  f.last_of_id = r.u8() != 0;
  f.symbol_count = r.u32();
  f.symbols = r.str();
  f.edge_count = r.u32();
  f.edges = r.str();
  if (r.failed() || !holds(f.symbols, f.symbol_count, read_symbol) ||
      !holds(f.edges, f.edge_count, [&](Reader& e) { read_edge(e, f.id); }))
    return std::nullopt;
  return f;
}

// Finds the build id note of the loaded object that holds `address`.
struct BuildIdSearch {
  uintptr_t address;
  std::string id;
};

int find_build_id(struct dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<BuildIdSearch*>(data);
  bool holds = false;
  for (int i = 0; i < info->dlpi_phnum && !holds; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    holds = ph.p_type == PT_LOAD && search->address >= start && search->address - start < ph.p_memsz;
  }
  if (!holds) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_NOTE) continue;
    const char* notes = reinterpret_cast<const char*>(info->dlpi_addr + ph.p_vaddr);
    const size_t size = ph.p_memsz;
    size_t at = 0;
    while (size - at >= sizeof(ElfW(Nhdr))) {
      ElfW(Nhdr) note;
      std::memcpy(&note, notes + at, sizeof note);
      const size_t name = at + sizeof note, desc = name + ((note.n_namesz + 3) & ~size_t{3});
      if (desc > size || size - desc < note.n_descsz) break;
      if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(notes + name, "GNU", 4) == 0) {
        static constexpr char kHex[] = "0123456789abcdef";
        for (size_t k = 0; k < note.n_descsz; ++k) {
          const auto b = static_cast<unsigned char>(notes[desc + k]);
          search->id += kHex[b >> 4];
          search->id += kHex[b & 15];
        }
        return 1;
      }
      at = desc + ((note.n_descsz + 3) & ~size_t{3});
    }
  }
  return 1;  // the object, without an id
}

}  // namespace

std::vector<SymbolRef> CachedFile::symbol_refs() const {
  std::vector<SymbolRef> out;
  out.reserve(symbol_count);
  Reader r(symbols);
  for (uint32_t i = 0; i < symbol_count; ++i) out.push_back(read_symbol(r));
  return out;
}

void CachedFile::edge_refs(std::vector<EdgeRef>& out) const {
  Reader r(edges);
  for (uint32_t i = 0; i < edge_count; ++i) out.push_back(read_edge(r, id));
}

OwnedFile pack_file(std::string_view path, const fs::FileStat& stat, std::string_view id, std::string_view file_hash,
                    std::span<const SymbolRef> symbols, std::span<const EdgeRef> edges) {
  Writer packed_symbols, packed_edges;
  for (const SymbolRef& s : symbols) {
    packed_symbols.str(s.id);
    packed_symbols.i64(s.line_start);
    packed_symbols.i64(s.line_end);
    packed_symbols.str(s.body_hash);
    packed_symbols.str(s.confidence);
  }
  for (const EdgeRef& e : edges) {
    const bool own = e.from == id;
    packed_edges.u8(own ? 1 : 0);
    if (!own) packed_edges.str(e.from);
    packed_edges.str(e.to);
    packed_edges.str(e.rel);
  }
  CachedFile f;
  f.path = path;
  f.stat = stat;
  f.id = id;
  f.file_hash = file_hash;
  f.symbol_count = static_cast<uint32_t>(symbols.size());
  f.edge_count = static_cast<uint32_t>(edges.size());
  f.symbols = packed_symbols.out();
  f.edges = packed_edges.out();
  Writer w;
  write_file(w, f);
  OwnedFile owned{std::make_unique<std::string>(std::move(w.out())), {}};
  Reader r(*owned.bytes);
  owned.file = *read_file(r);
  return owned;
}

std::string scan_cache_path(const std::string& graph_path) { return graph_path + ".scan_cache"; }

std::string encode_scan_cache(const ScanCache& cache) {
  Writer w;
  w.out().assign(kHeader, '\0');  // filled in once the payload is known
  w.str(cache.scanner);
  w.str(cache.root);
  w.i64(cache.began_ns);
  w.signature(cache.graph);
  w.u64(cache.edges);
  w.u8(cache.symbol_index ? 1 : 0);
  if (cache.symbol_index) w.signature(*cache.symbol_index);
  w.u64(cache.indexed);
  w.u64(cache.files.size());
  for (const CachedFile& f : cache.files) write_file(w, f);

  const std::string_view payload = std::string_view(w.out()).substr(kHeader);
  Writer head;
  head.out() = kMagic;
  head.u32(kVersion);
  head.u64(payload.size());
  head.u64(digest64(payload));
  w.out().replace(0, kHeader, head.out());
  return std::move(w.out());
}

namespace {

// The cache in `bytes`, which `owner` keeps alive for the files' views.
std::optional<ScanCache> decode(std::string_view bytes, std::shared_ptr<const void> owner) {
  if (bytes.size() < kHeader || bytes.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  Reader head(bytes.substr(kMagic.size(), kHeader - kMagic.size()));
  const uint32_t version = head.u32();
  const uint64_t length = head.u64();
  const uint64_t digest = head.u64();
  const std::string_view payload = bytes.substr(kHeader);
  if (version != kVersion || length != payload.size() || digest != digest64(payload)) return std::nullopt;

  ScanCache cache;
  cache.bytes = std::move(owner);
  Reader r(payload);
  cache.scanner = r.str();
  cache.root = r.str();
  cache.began_ns = r.i64();
  cache.graph = r.signature();
  cache.edges = r.u64();
  if (r.u8()) cache.symbol_index = r.signature();
  cache.indexed = r.u64();
  const size_t files = r.count(4 + 44 + 4 + 4 + 3 * 8 + 1 + 2 * 8);
  cache.files.reserve(files);
  for (size_t n = 0; n < files; ++n) {
    std::optional<CachedFile> f = read_file(r);
    if (!f) return std::nullopt;
    cache.files.push_back(*f);
  }
  if (r.failed() || !r.at_end()) return std::nullopt;
  return cache;
}

}  // namespace

std::optional<ScanCache> decode_scan_cache(std::string&& bytes) {
  auto owned = std::make_shared<const std::string>(std::move(bytes));
  return decode(*owned, owned);
}

std::optional<ScanCache> load_scan_cache(const std::string& path, std::string_view scanner, std::string_view root) {
  // Mapped, not read: the records view the file's pages in the page cache.
  auto mapped = std::make_shared<const fs::MappedFile>(path, 0);
  if (!mapped->data()) return std::nullopt;
  std::optional<ScanCache> cache = decode(mapped->text(), mapped);
  if (!cache || cache->scanner != scanner || cache->root != root) return std::nullopt;
  return cache;
}

void save_scan_cache(const std::string& path, const ScanCache& cache) {
  fs::write_atomic(path, encode_scan_cache(cache));
}

bool unchanged(const CachedFile& cached, const fs::FileStat& now, int64_t cache_began_ns) {
  // ctime cannot be set back by a program, and moves with every write.
  const int64_t vouched_before = cache_began_ns - kRacyWindowNs;
  return cached.stat == now && now.ctime_ns < vouched_before && now.mtime_ns < vouched_before;
}

int64_t realtime_ns() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string scanner_identity(std::string_view name) {
  // The object this code is linked into: a command, or a Python module.
  static const std::string build = [] {
    BuildIdSearch search{reinterpret_cast<uintptr_t>(&find_build_id), {}};
    ::dl_iterate_phdr(&find_build_id, &search);
    return search.id;
  }();
  std::string id(name);
  id += " build ";
  id += build.empty() ? "unknown" : build;
  return id;
}

}  // namespace kestrune::lexscan
