#include "kestrune/treescan/scan.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "kestrune/base/fs.h"
#include "kestrune/base/md5.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/relations.h"
#include "kestrune/lexscan/scan.h"
#include "kestrune/lexscan/symbols.h"
#include "kestrune/lexscan/walk.h"
#include "kestrune/treescan/keywords.h"
#include "kestrune/treescan/peers.h"
#include "kestrune/treescan/walk.h"

namespace kestrune::treescan {

namespace {

bool is_script(std::string_view ext) { return ext == ".ts" || ext == ".tsx" || ext == ".js" || ext == ".jsx"; }

// Extractions already made in one scan, by grammar and text: a text met again
// (a copy, a build output, a file reached through a link) is not parsed again.
// Stored with "" for the file, so that ids start with "::".
class Extractions {
 public:
  std::shared_ptr<const Extraction> find(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : it->second;
  }
  void add(std::string key, std::shared_ptr<const Extraction> x) {
    std::lock_guard lock(mutex_);
    map_.emplace(std::move(key), std::move(x));
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const Extraction>> map_;
};

// A stored extraction as the file `file_id` has it.
Extraction for_file(const Extraction& stored, std::string_view file_id) {
  Extraction x = stored;
  for (auto& s : x.symbols) s.id.insert(0, file_id);
  for (auto& e : x.imports) e.from = file_id;
  return x;
}

// What a file gives: from its tree when a grammar covers it, else from the
// regex fallbacks. A parse that fails falls back for this file alone.
// With `seen`, `digest` is the text's MD5 digest (hexadecimal) and a text
// extracted before with the same grammar is not parsed again.
Extraction extract_file(std::string_view content, std::string_view file_id, std::string_view ext, const Grammars& g,
                        Parsers& parsers, unsigned want, Extractions* seen = nullptr, std::string_view digest = {}) {
  using Extractor = Extraction (*)(const Language&, Parsers&, std::string_view, std::string_view, unsigned);
  const Language* lang = nullptr;
  Extractor extract = nullptr;
  if (g.ast_available && is_script(ext)) {
    lang = &g.script(ext);
    extract = &extract_script;
  } else if (g.ast_available && ext == ".py") {
    lang = &g.py;
    extract = &extract_python;
  } else if (g.go && ext == ".go") {
    lang = &g.go;
    extract = &extract_go;
  }
  try {
    if (lang && !seen) return extract(*lang, parsers, content, file_id, want);
    if (lang) {
      std::string key(reinterpret_cast<const char*>(&lang->ts), sizeof lang->ts);
      key += static_cast<char>(want);
      key += digest;
      std::shared_ptr<const Extraction> stored = seen->find(key);
      if (!stored) {
        stored = std::make_shared<const Extraction>(extract(*lang, parsers, content, "", want));
        seen->add(std::move(key), stored);
      }
      return for_file(*stored, file_id);
    }
  } catch (const ParseError&) {
  }
  Extraction x;
  if (want & kSymbols) {
    if (is_script(ext)) x.symbols = lexscan::symbols_ts(content, file_id);
    else if (ext == ".py") x.symbols = lexscan::symbols_py(content, file_id);
  }
  if (want & kImports) x.imports = parse_relations_regex(std::string(file_id), content);
  return x;
}

// What one file contributes: its node, its symbol nodes, its edges, and, when
// the scan renders, its nodes' text in the graph file.
struct FileResult {
  std::vector<lexscan::Node> nodes;
  std::vector<Edge> edges;
  std::string text;
};

// One selected file; `resolved_dir` is the resolved directory holding it.
std::optional<FileResult> scan_file(const std::string& path, const std::string& resolved_dir,
                                    const std::string& resolved_root, const json::Object* reuse, const Grammars& g,
                                    Parsers& parsers, Extractions& seen) {
  thread_local std::string bytes;
  const std::optional<lexscan::SmallFile> file = lexscan::read_small_file(path, MAX_FILE_BYTES, bytes);
  if (!file) return std::nullopt;
  std::string owned;
  const std::string_view text = lexscan::decode_file(bytes, owned);

  const std::string resolved = file->link ? fs::resolve(path) : fs::join(resolved_dir, fs::name(path));
  const std::string file_id = fs::relpath(resolved, resolved_root);
  const std::string ext = lexscan::lower_ext(path);

  lexscan::Node node;
  node.id = file_id;
  node.kind = "file";
  node.path = file_id;
  node.ext = ext;
  node.size = file->size;
  // A text of at most that many bytes has at most that many characters.
  node.content = text.size() <= MAX_CONTENT_CHARS ? text : text::head(text, MAX_CONTENT_CHARS);
  const std::string digest = md5_hex(text);
  node.file_hash = digest.substr(0, 8);
  FileResult r;
  if (std::optional<lexscan::Node> reused = lexscan::reused_node(reuse, node)) {
    r.nodes.push_back(std::move(*reused));
  } else {
    // Unlike the stored content, these see the whole text.
    node.summary = make_summary(text, file_id, ext);
    node.keywords = extract_keywords(text, ext);
    r.nodes.push_back(std::move(node));
  }
  const bool symbols = is_symbol_ext(ext);
  Extraction x = extract_file(text, file_id, ext, g, parsers, symbols ? kBoth : kImports, &seen, digest);
  r.edges = std::move(x.imports);
  if (symbols) lexscan::append_symbol_nodes(r.nodes, r.edges, std::move(x.symbols), file_id, ext);
  return r;
}

}  // namespace

std::vector<Symbol> extract_symbols(std::string_view content, std::string_view file_id, std::string_view ext,
                                    const Grammars& g) {
  Parsers parsers;
  return extract_file(content, file_id, ext, g, parsers, kSymbols).symbols;
}

std::vector<Edge> extract_imports(std::string_view content, std::string_view file_id, std::string_view ext,
                                  const Grammars& g) {
  Parsers parsers;
  return extract_file(content, file_id, ext, g, parsers, kImports).imports;
}

std::vector<Edge> parse_relations_regex(const std::string& file_id, std::string_view text) {
  std::vector<Edge> edges;
  lexscan::import_relations(text, file_id, edges);
  return edges;
}

lexscan::Graph scan_graph(const std::string& root, const json::Object* existing_nodes, unsigned threads,
                          const Grammars& g, lexscan::Render render) {
  lexscan::require_project_root(root);
  const json::Object* reuse = existing_nodes && !existing_nodes->empty() ? existing_nodes : nullptr;
  const std::string resolved_root = fs::resolve(root);
  const std::vector<std::string> files = walk_files(root);

  // Directories are resolved once each, here, so that the threads only read the map.
  std::unordered_map<std::string, std::string> resolved_dirs;
  std::vector<const std::string*> dir_of(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    std::string dir = fs::dirname(files[i]);
    auto it = resolved_dirs.find(dir);
    if (it == resolved_dirs.end()) {
      std::string resolved = fs::resolve(dir);
      it = resolved_dirs.emplace(std::move(dir), std::move(resolved)).first;
    }
    dir_of[i] = &it->second;
  }

  // Each file's outcome has its own place, in walk order: the merge below is
  // the same whichever thread scanned which file.
  std::vector<std::optional<FileResult>> results(files.size());
  std::vector<std::exception_ptr> errors(files.size());
  std::atomic<size_t> next{0};
  Extractions seen;
  auto work = [&] {
    Parsers parsers;  // one per thread
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < files.size();) {
      try {
        results[i] = scan_file(files[i], *dir_of[i], resolved_root, reuse, g, parsers, seen);
        if (results[i] && render == lexscan::Render::ForWriting)
          lexscan::render_for_writing(results[i]->nodes, results[i]->text);
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  };
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(files.size(), 1)));
  if (threads == 1) {
    work();
  } else {
    std::vector<std::jthread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work);
  }
  for (const auto& e : errors)
    if (e) std::rethrow_exception(e);

  lexscan::Graph graph;
  graph.root = root;
  graph.ast_mode = g.ast_available;
  std::vector<Edge> edges;
  std::vector<std::string> file_ids;
  for (auto& r : results) {
    if (!r) continue;
    for (auto& n : r->nodes) {
      if (n.kind == "file") file_ids.push_back(n.id);
      graph.nodes.push_back(std::move(n));
    }
    for (auto& e : r->edges) edges.push_back(std::move(e));
    if (!r->text.empty()) graph.rendered.push_back(std::move(r->text));
    r.reset();
  }
  for (auto& e : structural_peer_edges(file_ids)) edges.push_back(std::move(e));
  graph.edges = lexscan::dedupe_edges(std::move(edges));
  return graph;
}

json::Value scan(const std::string& root, const json::Object* existing_nodes, unsigned threads, const Grammars& g) {
  return scan_graph(root, existing_nodes, threads, g).to_json();
}

}  // namespace kestrune::treescan
