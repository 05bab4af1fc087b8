#include "kestrune/lexscan/scan_driver.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <span>
#include <thread>
#include <unordered_map>

#include "kestrune/base/file_signature.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/md5.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/earlier_graph.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/scan.h"
#include "kestrune/lexscan/scan_cache.h"

namespace kestrune::lexscan {

std::vector<Edge> Scanner::cross_file_edges(const std::vector<std::string>&) const { return {}; }
std::optional<bool> Scanner::ast_mode() const { return std::nullopt; }

namespace {

// ---- one file ---------------------------------------------------------------

struct SmallFile {
  fs::FileStat stat;  // as fstat gave it before the read
};

// The bytes of a regular file of at most MAX_FILE_BYTES, read into `buf`,
// which each thread reuses from file to file. Nothing for a file that cannot
// be read, or that is no regular file any more (the walk saw one, but the
// name may since hold a FIFO: it is never waited on).
std::optional<SmallFile> read_small_file(const std::string& path, std::string& buf) {
  fs::OpenedFile file;
  try {
    file = fs::open_for_reading(path);
  } catch (const fs::OsError&) {
    return std::nullopt;
  }
  if (file.found != fs::Found::File || file.size > MAX_FILE_BYTES) return std::nullopt;
  // Read to the end, whatever the size was: the file may have grown since.
  size_t used = 0;
  buf.resize(static_cast<size_t>(file.size) + 1);
  for (;;) {
    if (used == buf.size()) buf.resize(2 * buf.size());
    const ssize_t n = ::read(file.fd.get(), buf.data() + used, buf.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      buf.resize(used);
      if (n < 0) return std::nullopt;
      return SmallFile{file.stat};
    }
    used += static_cast<size_t>(n);
  }
}

// The file as the scan sees it: UTF-8 with bad bytes dropped, line feeds
// only. A view of `bytes` when they are that already, else of `owned`.
std::string_view decode_file(const std::string& bytes, std::string& owned) {
  std::string_view text = bytes;
  if (!text::is_valid_utf8(text)) text = owned = text::decode(text, text::Errors::Drop);
  if (text.find('\r') != std::string_view::npos) text = owned = text::universal_newlines(text);
  return text;
}

// Between nodes in the graph file.
constexpr std::string_view kSeparator = ",\n";

// Where reused nodes come from: the earlier graph's text (a scan into a
// graph file), or the reuse map of serialised nodes (scan()'s argument, or
// an earlier graph in a layout of its own).
struct Reuse {
  const EarlierGraph* earlier = nullptr;
  const json::Object* nodes = nullptr;
};

// A stretch of the new graph's nodes text: in the earlier graph file, or in
// the outcome's own rendered text.
struct Text {
  bool earlier = false;
  uint64_t at = 0, len = 0;
};

// What a scan wants of each file: the nodes of a graph record; the graph
// file's text with what counting and the symbol index read of the nodes; or
// that text with the file's record for the cache.
enum class Want { Nodes, Rendered, Recorded };

// What one selected file gives.
struct Outcome {
  const CachedFile* kept = nullptr;  // taken whole from the cache: the file was not read
  OwnedFile fresh;                   // Recorded: what was read and derived
  std::vector<Node> nodes;           // Nodes: the nodes; Rendered: what counting and the index read of them
  std::vector<Edge> edges;           // Nodes, Rendered: the file's own edges
  std::string rendered;              // the nodes not taken from the earlier graph, joined by ",\n"
  Text node, symbols;                // the texts of its own node and of its symbol nodes (len 0: none)

  const CachedFile& record() const { return kept ? *kept : fresh.file; }
};

// What counting and the symbol index read of a node whose text is rendered.
Node stub_of(Node&& n) {
  Node s;
  s.id = std::move(n.id);
  s.kind = std::move(n.kind);
  s.path = std::move(n.path);
  s.line_start = n.line_start;
  s.line_end = n.line_end;
  s.body_hash = std::move(n.body_hash);
  s.confidence = std::move(n.confidence);
  return s;
}

// The id of a file from its resolved path: the part below the root, or the
// climb out of it for a linked file outside.
std::string id_of(const std::string& resolved, const std::string& resolved_root) {
  if (resolved.size() > resolved_root.size() && resolved.starts_with(resolved_root)) {
    if (resolved_root == "/") return resolved.substr(1);
    if (resolved[resolved_root.size()] == '/') return resolved.substr(resolved_root.size() + 1);
  }
  return fs::relpath(resolved, resolved_root);
}

std::optional<Outcome> scan_file(const Scanner& scanner, const WalkedFile& w, const std::string& resolved_root,
                                 const Reuse& reuse, Want want) {
  thread_local std::string bytes;
  const std::optional<SmallFile> file = read_small_file(w.path, bytes);
  if (!file) return std::nullopt;
  std::string owned;
  const std::string_view text = decode_file(bytes, owned);
  // A text of at most that many bytes has at most that many characters.
  const std::string_view cut =
      text.size() <= MAX_CONTENT_CHARS ? std::string_view(text) : text::head(text, MAX_CONTENT_CHARS);
  const std::string id = id_of(w.resolved, resolved_root);
  const std::string ext = lower_ext(w.path);
  const std::string md5 = md5_hex(text);
  const std::string file_hash = md5.substr(0, 8);
  const FileText f{w.path, id, ext, text, cut, md5};

  // The node as reuse would fall back to it; keywords and summary, the
  // costly part, are only computed when nothing can be reused.
  Outcome o;
  std::vector<Node> nodes;
  const EarlierGraph::Entry* entry = want != Want::Nodes && reuse.earlier ? reuse.earlier->find(id) : nullptr;
  if (entry && entry->file_hash == file_hash) {
    o.node = Text{true, entry->at, entry->len};
  } else {
    Node& node = nodes.emplace_back();
    node.id = id;
    node.kind = "file";
    node.path = id;
    node.ext = ext;
    node.size = static_cast<int64_t>(file->stat.size);
    node.content = cut;
    node.file_hash = file_hash;
    if (std::optional<Node> reused = reused_node(reuse.nodes, node))
      node = std::move(*reused);
    else
      scanner.describe(f, node);
  }
  const size_t first_symbol = nodes.size();
  std::vector<Symbol> symbols;
  scanner.extract(f, o.edges, symbols);
  append_symbol_nodes(nodes, o.edges, std::move(symbols), id, ext);
  if (want == Want::Nodes) {
    o.nodes = std::move(nodes);
    return o;
  }

  size_t bytes_needed = 0;
  for (const Node& n : nodes) bytes_needed += n.content.size() + 512;
  o.rendered.reserve(bytes_needed + bytes_needed / 8);
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (i > 0) o.rendered += ",\n";
    if (i == first_symbol) o.symbols.at = o.rendered.size();
    render_node(o.rendered, nodes[i]);
    if (i == 0 && first_symbol == 1) o.node = Text{false, 0, o.rendered.size()};
  }
  if (nodes.size() > first_symbol) o.symbols.len = o.rendered.size() - o.symbols.at;
  o.rendered.shrink_to_fit();

  if (want == Want::Rendered) {
    for (Node& n : nodes) o.nodes.push_back(stub_of(std::move(n)));
    return o;
  }
  std::vector<SymbolRef> refs;
  for (size_t i = first_symbol; i < nodes.size(); ++i) {
    const Node& n = nodes[i];
    refs.push_back({n.id, n.line_start, n.line_end, n.body_hash, n.confidence});
  }
  const std::vector<EdgeRef> edges(o.edges.begin(), o.edges.end());
  o.fresh = pack_file(w.path, file->stat, id, file_hash, refs, edges);
  o.edges.clear();
  return o;
}

// ---- the walk and the threads --------------------------------------------------

// The files of a walk, in walk order, each with the place of its outcome;
// those to be read are handed to the scanning threads while the walk goes
// on. Places never move, so a thread fills its own without holding the lock.
class Work {
 public:
  struct Item {
    WalkedFile file;
    std::optional<Outcome> outcome{};
    std::exception_ptr error{};
  };

  // A file to read, or one already done (`outcome` set).
  void add(WalkedFile&& file, std::optional<Outcome>&& done) {
    const bool pending = !done;
    {
      std::lock_guard lock(mutex_);
      items_.push_back(Item{std::move(file), std::move(done)});
      if (pending) pending_.push_back(&items_.back());
    }
    if (pending) ready_.notify_one();
  }
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }
  // The next file to read, or nullptr once the walk is over and every file taken.
  Item* take() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return next_ < pending_.size() || closed_; });
    return next_ < pending_.size() ? pending_[next_++] : nullptr;
  }
  size_t pending() const { return pending_.size(); }
  // After every thread is done.
  std::deque<Item>& items() { return items_; }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Item> items_;
  std::deque<Item*> pending_;
  size_t next_ = 0;
  bool closed_ = false;
};

// What the cache says of the files of one scan, asked in walk order by the
// walking thread.
class CacheView {
 public:
  explicit CacheView(const ScanCache* c) : cache_(c) {}

  // The file's outcome without reading it, when it has not changed since the
  // cache was written and nothing it depends on has either.
  std::optional<Outcome> unchanged_file(const WalkedFile& w, const std::string& resolved_root,
                                        const EarlierGraph& earlier) {
    const CachedFile* cached = cache_ ? find(w.path) : nullptr;
    if (!cached) return std::nullopt;
    const CachedFile& f = *cached;
    if (!unchanged(f, w.stat, cache_->began_ns)) return std::nullopt;
    // The id follows links (a retargeted one names another file); the earlier
    // node the id reuses must still be this file's.
    if (id_of(w.resolved, resolved_root) != f.id) return std::nullopt;
    Outcome o;
    o.kept = &f;
    if (f.last_of_id) {
      o.node = Text{true, f.at, f.node_len};
    } else {
      const EarlierGraph::Entry* entry = earlier.find(f.id);
      if (!entry || entry->file_hash != f.file_hash) return std::nullopt;
      o.node = Text{true, entry->at, entry->len};
    }
    if (f.text_len > f.node_len)
      o.symbols = Text{true, f.at + f.node_len + kSeparator.size(), f.text_len - f.node_len - kSeparator.size()};
    return o;
  }

 private:
  // The walk meets the files in the order the cache holds them, but for those
  // added or gone: the next one is tried first, the map only on a miss.
  const CachedFile* find(std::string_view path) {
    const std::vector<CachedFile>& files = cache_->files;
    if (next_ < files.size() && files[next_].path == path) return &files[next_++];
    if (by_path_.empty()) {
      by_path_.reserve(files.size());
      for (size_t i = 0; i < files.size(); ++i) by_path_.emplace(files[i].path, i);
    }
    auto it = by_path_.find(path);
    if (it == by_path_.end()) return nullptr;
    next_ = it->second + 1;
    return &files[it->second];
  }

  const ScanCache* cache_;
  size_t next_ = 0;
  std::unordered_map<std::string_view, size_t> by_path_;
};

// Scans the walk of `root` on `threads` threads (0: one per core): unchanged
// files from the cache, the others read. Returns every file's outcome in walk
// order; the first failure, in walk order, is rethrown once all threads are done.
std::deque<Work::Item> scan_files(const Scanner& scanner, const std::string& root, const Reuse& reuse,
                                  CacheView&& cache, Want want, unsigned threads) {
  const std::string resolved_root = fs::resolve(root);
  Work work;
  auto scan_all = [&] {
    while (Work::Item* item = work.take()) {
      try {
        item->outcome = scan_file(scanner, item->file, resolved_root, reuse, want);
      } catch (...) {
        item->error = std::current_exception();
      }
    }
  };
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  {
    std::vector<std::jthread> pool;
    // Threads start with the first file to read: a scan that finds every
    // file in the cache starts none.
    auto start_threads = [&] {
      while (pool.size() < threads) pool.emplace_back(scan_all);
    };
    struct Closer {
      Work& w;
      ~Closer() { w.close(); }  // also when the walk throws: the threads must not wait forever
    } closer{work};
    scanner.walk(root, [&](WalkedFile&& file) {
      std::optional<Outcome> done =
          reuse.earlier ? cache.unchanged_file(file, resolved_root, *reuse.earlier) : std::nullopt;
      const bool read = !done;
      work.add(std::move(file), std::move(done));
      if (read) start_threads();
    });
  }
  for (auto& item : work.items())
    if (item.error) std::rethrow_exception(item.error);
  return std::move(work.items());
}

// ---- the graph file ------------------------------------------------------------

// Whether `parts`, one after another, are exactly `old`. Parts that are views
// of `old` at their own place cost no comparison.
bool same_text(std::span<const std::string_view> parts, std::string_view old) {
  if (old.empty()) return false;
  uint64_t pos = 0;
  for (std::string_view p : parts) {
    if (p.size() > old.size() - pos) return false;
    if (p.data() != old.data() + pos && std::memcmp(p.data(), old.data() + pos, p.size()) != 0) return false;
    pos += p.size();
  }
  return pos == old.size();
}

// Replaces `path` with `parts`; the signature of what was written.
FileSignature write_parts(const std::string& path, std::span<const std::string_view> parts) {
  Digest64 digest;
  uint64_t size = 0;
  fs::AtomicWriter file(path);
  // In batches of about a megabyte, digested just before they go out.
  for (size_t i = 0; i < parts.size();) {
    size_t j = i, bytes = 0;
    for (; j < parts.size() && bytes < (1 << 20); ++j) {
      digest.update(parts[j]);
      bytes += parts[j].size();
    }
    file.write(parts.subspan(i, j - i));
    size += bytes;
    i = j;
  }
  file.commit();
  return FileSignature{size, fs::stat_path(path).value_or(fs::FileStat{}).mtime_ns, digest.value()};
}

// The signature of the file `path` just written with `text`.
FileSignature written_signature(const std::string& path, std::string_view text) {
  return FileSignature{text.size(), fs::stat_path(path).value_or(fs::FileStat{}).mtime_ns, digest64(text)};
}

}  // namespace

Graph scan_graph(const Scanner& scanner, const std::string& root, const json::Object* existing_nodes,
                 unsigned threads, Render render) {
  require_project_root(root);
  Reuse reuse;
  if (existing_nodes && !existing_nodes->empty()) reuse.nodes = existing_nodes;
  const Want want = render == Render::ForWriting ? Want::Rendered : Want::Nodes;
  std::deque<Work::Item> items = scan_files(scanner, root, reuse, CacheView(nullptr), want, threads);

  Graph g;
  g.root = root;
  g.ast_mode = scanner.ast_mode();
  std::vector<Edge> edges;
  std::vector<std::string> file_ids;
  for (auto& item : items) {
    if (!item.outcome) continue;
    Outcome& o = *item.outcome;
    file_ids.push_back(o.nodes.front().id);
    for (auto& n : o.nodes) g.nodes.push_back(std::move(n));
    for (auto& e : o.edges) edges.push_back(std::move(e));
    if (want == Want::Rendered) g.rendered.push_back(std::move(o.rendered) + std::string(kSeparator));
    item.outcome.reset();
  }
  for (auto& e : scanner.cross_file_edges(file_ids)) edges.push_back(std::move(e));
  g.edges = dedupe_edges(std::move(edges));
  return g;
}

RescanResult rescan(const Scanner& scanner, const std::string& root, const std::string& out,
                    const RescanOptions& options) {
  require_project_root(root);  // before anything is written
  const int64_t began = realtime_ns();
  const std::string identity = scanner.identity();
  const std::string cache_path = scan_cache_path(out);
  EarlierGraph earlier(out);
  std::optional<ScanCache> cache;
  if (options.reuse && !earlier.empty()) {
    cache = load_scan_cache(cache_path, identity, root);
    if (cache && !earlier.index(*cache)) cache.reset();
  }
  // Whether the graph file is still the one the cache was written with: a
  // pass over the whole file, made while the walk goes on.
  std::future<bool> graph_kept;
  if (cache) graph_kept = std::async(std::launch::async, [&] { return earlier.signature() == cache->graph; });

  json::Object reuse_map;
  auto reuse_without_cache = [&]() -> Reuse {
    if (!options.reuse || earlier.empty()) return {};
    if (earlier.index_layout()) return {&earlier, nullptr};
    reuse_map = load_reuse_map(out);
    return {nullptr, reuse_map.empty() ? nullptr : &reuse_map};
  };
  Reuse reuse = cache ? Reuse{&earlier, nullptr} : reuse_without_cache();
  std::deque<Work::Item> items =
      scan_files(scanner, root, reuse, CacheView(cache ? &*cache : nullptr), Want::Recorded, options.threads);
  if (cache && !graph_kept.get()) {
    // Edited by hand, or written by another tool, since: the cache describes
    // another graph, and the scan starts over without it.
    items.clear();
    cache.reset();
    reuse = reuse_without_cache();
    items = scan_files(scanner, root, reuse, CacheView(nullptr), Want::Recorded, options.threads);
  }

  RescanResult result;
  std::vector<const Outcome*> files;
  // Every file as the cache has it, in its order; and at least with the same
  // id, symbol count and edges (then the head and the edge list are too).
  bool as_cached = cache.has_value(), same_edges = cache.has_value();
  for (const auto& item : items) {
    if (!item.outcome || !item.outcome->kept) ++result.files_read;
    if (!item.outcome) continue;
    const Outcome& o = *item.outcome;
    const CachedFile* was = cache && files.size() < cache->files.size() ? &cache->files[files.size()] : nullptr;
    as_cached = as_cached && was && o.kept == was;
    same_edges = same_edges && was &&
                 (o.kept == was || (o.record().id == was->id && o.record().symbol_count == was->symbol_count &&
                                    o.record().edge_count == was->edge_count && o.record().edges == was->edges));
    files.push_back(&o);
    result.nodes += 1 + o.record().symbol_count;
    result.symbols += o.record().symbol_count;
  }
  as_cached = as_cached && !files.empty() && files.size() == cache->files.size();
  same_edges = same_edges && !files.empty() && files.size() == cache->files.size();

  // The text around the nodes: the earlier graph's, when the files and their
  // edges are those it was written with, else rendered from the edges.
  const std::string_view old = earlier.text();
  std::string head, tail;
  std::string_view head_text, tail_text;
  if (same_edges) {
    const CachedFile& last = cache->files.back();
    head_text = old.substr(0, cache->files.front().at);
    tail_text = old.substr(last.at + last.text_len);
    result.edges = cache->edges;
  } else {
    std::vector<EdgeRef> all;
    std::vector<std::string> file_ids;
    for (const Outcome* o : files) {
      const CachedFile& r = o->record();
      file_ids.emplace_back(r.id);
      r.edge_refs(all);
    }
    const std::vector<Edge> cross = scanner.cross_file_edges(file_ids);
    all.insert(all.end(), cross.begin(), cross.end());
    const std::vector<EdgeRef> edges = dedupe_edges(all);
    result.edges = edges.size();
    head = graph_head(root, result.nodes, result.symbols, edges.size());
    render_tail(tail, !files.empty(), edges, scanner.ast_mode());
    head_text = head;
    tail_text = tail;
  }

  std::vector<std::string_view> parts;
  parts.reserve(4 * files.size() + 2);
  struct Placed {
    uint64_t at = 0, node_len = 0, text_len = 0;
  };
  std::vector<Placed> placed(files.size());
  uint64_t offset = head_text.size();
  parts.push_back(head_text);
  auto text_of = [&](const Outcome& o, const Text& t) {
    return (t.earlier ? old : std::string_view(o.rendered)).substr(t.at, t.len);
  };
  for (size_t i = 0; i < files.size(); ++i) {
    const Outcome& o = *files[i];
    if (i > 0) {
      parts.push_back(kSeparator);
      offset += kSeparator.size();
    }
    Placed& next = placed[i];
    next.at = offset;
    next.node_len = o.node.len;
    parts.push_back(text_of(o, o.node));
    offset += o.node.len;
    if (o.symbols.len > 0) {
      parts.push_back(kSeparator);
      parts.push_back(text_of(o, o.symbols));
      offset += kSeparator.size() + o.symbols.len;
    }
    next.text_len = offset - next.at;
  }
  parts.push_back(tail_text);

  FileSignature graph_signature;
  // The text is compared with the graph as it was mapped, which must still be what `out` names.
  if (same_text(parts, old) && fs::stat_path(out) == earlier.stat()) {
    graph_signature = cache ? cache->graph : earlier.signature();
  } else {
    graph_signature = write_parts(out, parts);
    result.graph_written = true;
  }

  std::optional<FileSignature> index_signature;
  bool index_written = false;
  if (options.symbol_index) {
    const std::string index_path = symbol_index_path(out);
    if (result.graph_written || !cache || !cache->symbol_index || !file_matches(index_path, *cache->symbol_index)) {
      json::Object index;
      for (const Outcome* o : files) {
        const CachedFile& r = o->record();
        for (const SymbolRef& s : r.symbol_refs()) {
          json::Object entry;
          entry.append("line_start", static_cast<long long>(s.line_start));
          entry.append("line_end", static_cast<long long>(s.line_end));
          entry.append("body_hash", std::string(s.body_hash));
          entry.append("confidence", std::string(s.confidence));
          entry.append("path", std::string(r.id));
          // A repeated id keeps its first place and takes the later values.
          index.set(std::string(s.id), std::move(entry));
        }
      }
      result.indexed = index.size();
      const std::string text = json::dumps(json::Value(std::move(index)));
      fs::write_atomic(index_path, text);
      index_signature = written_signature(index_path, text);
      index_written = true;
    } else {
      // The graph is the one the index was written with.
      index_signature = cache->symbol_index;
      result.indexed = cache->indexed;
    }
  }

  // The cache last: until it is replaced, the one there describes either the
  // graph as it was (and is still right) or a graph that is gone (and is
  // ignored). Nothing to say when nothing changed.
  if (as_cached && result.files_read == 0 && !result.graph_written && !index_written) return result;
  ScanCache next{identity, root, began, graph_signature, result.edges, index_signature, result.indexed, {}, {}};
  next.files.reserve(files.size());
  std::unordered_map<std::string_view, size_t> last_of_id;
  for (size_t i = 0; i < files.size(); ++i) {
    CachedFile f = files[i]->record();
    f.at = placed[i].at;
    f.node_len = placed[i].node_len;
    f.text_len = placed[i].text_len;
    f.last_of_id = false;
    last_of_id.insert_or_assign(f.id, i);
    next.files.push_back(f);
  }
  for (const auto& [id, i] : last_of_id) next.files[i].last_of_id = true;
  try {
    save_scan_cache(scan_cache_path(out), next);
  } catch (const fs::OsError&) {
    // The cache only saves time; the graph and its index are in place.
  }
  return result;
}

}  // namespace kestrune::lexscan
