#include "kestrune/lexscan/scan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "kestrune/base/fs.h"
#include "kestrune/base/md5.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/keywords.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/relations.h"
#include "kestrune/lexscan/symbols.h"
#include "kestrune/lexscan/walk.h"

namespace kestrune::lexscan {

namespace {

// What one file contributes: its node, its symbol nodes, its edges, and, when
// the scan renders, its nodes' text in the graph file.
struct FileResult {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  std::string text;
};

}  // namespace

std::optional<SmallFile> read_small_file(const std::string& path, uint64_t max_bytes, std::string& buf) {
  // One lookup of the path tells both what it is and gives the file.
  fs::OpenedFile file;
  try {
    file = fs::open_for_reading(path, /*tell_link=*/true);
  } catch (const fs::OsError&) {
    return std::nullopt;
  }
  if (file.found != fs::Found::File || file.size > max_bytes) return std::nullopt;
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
      return SmallFile{static_cast<int64_t>(file.size), file.link};
    }
    used += static_cast<size_t>(n);
  }
}

std::string_view decode_file(const std::string& bytes, std::string& owned) {
  std::string_view text = bytes;
  if (!text::is_valid_utf8(text)) text = owned = text::decode(text, text::Errors::Drop);
  if (text.find('\r') != std::string_view::npos) text = owned = text::universal_newlines(text);
  return text;
}

namespace {

bool is_string_list(const json::Value& v) {
  if (!v.is_array()) return false;
  return std::all_of(v.as_array().begin(), v.as_array().end(), [](const json::Value& s) { return s.is_string(); });
}

}  // namespace

// An entry whose fields have the wrong types cannot have come from a scan, so
// the file is rebuilt rather than trusted.
std::optional<Node> reused_node(const json::Object* reuse, const Node& current) {
  if (!reuse) return std::nullopt;
  const json::Value* entry = reuse->find(current.id);
  if (!entry || !entry->is_object()) return std::nullopt;
  const json::Value* hash = entry->find("file_hash");
  if (!hash || !hash->is_string() || hash->as_string() != current.file_hash) return std::nullopt;

  const json::Value& id = (*entry)["id"];  // a matching entry must name itself
  if (!id.is_string()) return std::nullopt;
  for (const char* key : {"kind", "path", "ext", "content", "summary"})
    if (const json::Value* v = entry->find(key); v && !v->is_string()) return std::nullopt;
  const json::Value* size = entry->find("size");
  const json::Value* keywords = entry->find("keywords");
  if ((size && !size->is_int()) || (keywords && !is_string_list(*keywords))) return std::nullopt;

  Node n = current;
  n.id = id.as_string();
  auto take = [&](const char* key, std::string& field, std::string fallback) {
    const json::Value* v = entry->find(key);
    field = v ? v->as_string() : std::move(fallback);
  };
  take("kind", n.kind, "file");
  take("path", n.path, current.id);
  take("ext", n.ext, current.ext);
  take("content", n.content, current.content);
  take("summary", n.summary, "");
  if (size) n.size = size->as_int();
  n.keywords.clear();
  if (keywords)
    for (const auto& k : keywords->as_array()) n.keywords.push_back(k.as_string());
  return n;
}

namespace {

// `resolved_dir` is the resolved directory holding `path`: resolving a plain
// file is then a join, not a walk over every component of its path.
std::optional<FileResult> scan_file(const std::string& path, const std::string& resolved_dir,
                                    const std::string& resolved_root, const json::Object* reuse) {
  thread_local std::string bytes;
  const std::optional<SmallFile> file = read_small_file(path, MAX_FILE_BYTES, bytes);
  if (!file) return std::nullopt;
  std::string owned;
  const std::string_view text = decode_file(bytes, owned);
  std::string resolved = file->link ? fs::resolve(path) : fs::join(resolved_dir, fs::name(path));
  std::string rel_path = fs::relpath(resolved, resolved_root);
  std::string ext = lower_ext(path);
  std::string fhash = md5_hex(text).substr(0, 8);
  // A text of at most that many bytes has at most that many characters.
  std::string_view cut = text.size() <= MAX_CONTENT_CHARS ? std::string_view(text) : text::head(text, MAX_CONTENT_CHARS);

  // The node as reuse would fall back to it; keywords and summary, the costly
  // part, are only computed when nothing can be reused.
  Node node;
  node.id = rel_path;
  node.kind = "file";
  node.path = rel_path;
  node.ext = ext;
  node.size = file->size;
  node.content = cut;
  node.file_hash = fhash;
  FileResult r;
  if (std::optional<Node> reused = reused_node(reuse, node)) {
    r.nodes.push_back(std::move(*reused));
  } else {
    node.summary = make_summary(cut, rel_path, ext);
    node.keywords = extract_keywords(cut, ext);
    r.nodes.push_back(std::move(node));
  }
  r.edges = relations_of(cut, rel_path, fs::suffix(path));
  if (is_symbol_ext(ext)) append_symbol_nodes(r.nodes, r.edges, symbols_for_file(cut, rel_path, ext), rel_path, ext);
  return r;
}

// The files of a walk, handed to the scanning threads while the walk goes
// on. Each file has its place, in walk order, for its outcome; the places
// never move, so a thread fills its own without holding the lock.
template <class Outcome>
class Work {
 public:
  struct Item {
    std::string path;
    const std::string* resolved_dir;
    Outcome outcome{};
    std::exception_ptr error{};
  };

  void add(std::string&& path, const std::string* resolved_dir) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(Item{std::move(path), resolved_dir});
    }
    ready_.notify_one();
  }
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }
  // The next file to scan, or nullptr once the walk is over and every file taken.
  Item* take() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return next_ < items_.size() || closed_; });
    return next_ < items_.size() ? &items_[next_++] : nullptr;
  }
  // After every thread is done.
  std::deque<Item>& items() { return items_; }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Item> items_;
  size_t next_ = 0;
  bool closed_ = false;
};

// Scans the walk of `root` on `threads` threads (0: one per core), each
// file's result handed to `finish` on the thread that scanned it; returns
// every file's outcome in walk order. The first failure, in walk order, is
// rethrown once all threads are done.
template <class Outcome, class Finish>
std::deque<typename Work<Outcome>::Item> scan_files(const std::string& root, const json::Object* existing_nodes,
                                                   unsigned threads, Finish&& finish) {
  const json::Object* reuse = existing_nodes && !existing_nodes->empty() ? existing_nodes : nullptr;
  const std::string resolved_root = fs::resolve(root);
  Work<Outcome> work;
  auto scan_all = [&] {
    while (auto* item = work.take()) {
      try {
        if (std::optional<FileResult> r = scan_file(item->path, *item->resolved_dir, resolved_root, reuse))
          item->outcome = finish(std::move(*r));
      } catch (...) {
        item->error = std::current_exception();
      }
    }
  };
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  std::unordered_map<std::string, std::string> resolved_dirs;  // outlives the threads that read it
  {
    std::vector<std::jthread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(scan_all);
    struct Closer {
      Work<Outcome>& w;
      ~Closer() { w.close(); }  // also when the walk throws: the threads must not wait forever
    } closer{work};
    walk_files(root, [&](std::string&& path) {
      std::string dir = fs::dirname(path);
      auto it = resolved_dirs.find(dir);
      if (it == resolved_dirs.end()) {
        std::string resolved = fs::resolve(dir);
        it = resolved_dirs.emplace(std::move(dir), std::move(resolved)).first;
      }
      work.add(std::move(path), &it->second);
    });
  }
  for (auto& item : work.items())
    if (item.error) std::rethrow_exception(item.error);
  return std::move(work.items());
}

void render_file(FileResult& r) { render_for_writing(r.nodes, r.text); }

}  // namespace

Graph scan_graph(const std::string& root, const json::Object* existing_nodes, unsigned threads, Render render) {
  require_project_root(root);
  auto items = scan_files<std::optional<FileResult>>(root, existing_nodes, threads, [render](FileResult&& r) {
    if (render == Render::ForWriting) render_file(r);
    return std::optional(std::move(r));
  });
  Graph g;
  g.root = root;
  size_t nodes = 0, edges = 0;
  for (const auto& item : items)
    if (item.outcome) nodes += item.outcome->nodes.size(), edges += item.outcome->edges.size();
  g.nodes.reserve(nodes);
  std::vector<Edge> all_edges;
  all_edges.reserve(edges);
  for (auto& item : items) {
    if (!item.outcome) continue;
    for (auto& n : item.outcome->nodes) g.nodes.push_back(std::move(n));
    for (auto& e : item.outcome->edges) all_edges.push_back(std::move(e));
    if (!item.outcome->text.empty()) g.rendered.push_back(std::move(item.outcome->text));
    item.outcome.reset();
  }
  g.edges = dedupe_edges(std::move(all_edges));
  return g;
}

json::Value scan(const std::string& root, const json::Object* existing_nodes, unsigned threads) {
  return scan_graph(root, existing_nodes, threads).to_json();
}

namespace {

// Adds one entry of the earlier graph's node list to the reuse map; false when
// the entry makes the whole graph unusable.
bool add_reusable(json::Object& reuse, json::Value&& n) {
  if (!n.is_object()) return false;
  const json::Value* kind = n.find("kind");
  if (!kind || !kind->is_string() || kind->as_string() != "file") return true;
  const json::Value* id = n.find("id");
  if (!id || id->is_array() || id->is_object()) return false;
  // Only a string id can ever equal a file's id.
  if (id->is_string()) {
    std::string key = id->as_string();
    reuse.set(std::move(key), std::move(n));
  }
  return true;
}

}  // namespace

json::Object load_reuse_map(const std::string& graph_path) {
  try {
    // Not there, or no regular file (a FIFO is never waited on): no reuse.
    std::optional<std::string> read = fs::read_bytes_if_file(graph_path);
    if (!read) return {};
    std::string bytes = std::move(*read);
    // json::load_file's "utf-8-sig" reading, without a decoded copy of a file that is already valid UTF-8.
    if (!text::is_valid_utf8(bytes)) return {};
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.erase(0, 3);

    // Only the file nodes are wanted: they are taken one by one, and the
    // symbols and edges are checked but never built.
    json::Object reuse;
    bool usable = true;
    if (json::for_each_element(bytes, "nodes", [&](json::Value&& n) { return usable = add_reusable(reuse, std::move(n)); }))
      return usable ? std::move(reuse) : json::Object();

    // Anything unusual is read whole.
    json::Value graph = json::parse(bytes);
    bytes = std::string();
    reuse = json::Object();
    if (!graph.is_object()) return {};
    json::Value* nodes = graph.find("nodes");
    if (!nodes || !nodes->is_array()) return {};
    for (auto& n : nodes->as_array())
      if (!add_reusable(reuse, std::move(n))) return {};
    return reuse;
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace kestrune::lexscan
