#include "kestrune/treescan/scan.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "kestrune/lexscan/relations.h"
#include "kestrune/lexscan/scan_cache.h"
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

// The tree scan as the scan driver runs it. Unlike the stored content,
// keywords, summary, symbols and imports see the whole text.
class TreeScanner : public lexscan::Scanner {
 public:
  explicit TreeScanner(const Grammars& g) : g_(g) {}

  std::string identity() const override {
    // Which grammars loaded decides what a file gives.
    return lexscan::scanner_identity("treescan") + " grammars " + g_.loaded;
  }
  void walk(const std::string& root, const std::function<void(lexscan::WalkedFile&&)>& found) const override {
    lexscan::walk_selected(root, {&is_skip_dir, &should_scan}, found);
  }
  void describe(const lexscan::FileText& f, lexscan::Node& node) const override {
    node.summary = make_summary(f.text, f.id, f.ext);
    node.keywords = extract_keywords(f.text, f.ext);
  }
  void extract(const lexscan::FileText& f, std::vector<Edge>& edges, std::vector<Symbol>& symbols) const override {
    // The driver's scanning threads live for one scan: their parsers with them.
    thread_local Parsers parsers;
    const bool with_symbols = is_symbol_ext(f.ext);
    Extraction x = extract_file(f.text, f.id, f.ext, g_, parsers, with_symbols ? kBoth : kImports, &seen_, f.md5);
    edges = std::move(x.imports);
    if (with_symbols) symbols = std::move(x.symbols);
  }
  std::vector<Edge> cross_file_edges(const std::vector<std::string>& file_ids) const override {
    return structural_peer_edges(file_ids);
  }
  std::optional<bool> ast_mode() const override { return g_.ast_available; }

 private:
  const Grammars& g_;
  mutable Extractions seen_;
};

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
  return lexscan::scan_graph(TreeScanner(g), root, existing_nodes, threads, render);
}

lexscan::RescanResult rescan(const std::string& root, const std::string& out, const Grammars& g) {
  return lexscan::rescan(TreeScanner(g), root, out);
}

json::Value scan(const std::string& root, const json::Object* existing_nodes, unsigned threads, const Grammars& g) {
  return scan_graph(root, existing_nodes, threads, g).to_json();
}

}  // namespace kestrune::treescan
