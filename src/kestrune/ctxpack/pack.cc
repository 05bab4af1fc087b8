#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/ctxpack/ctxpack.h"
#include "kestrune/ctxpack/excerpt.h"

namespace kestrune::ctxpack {

long long estimate_tokens(std::string_view text) {
  return static_cast<long long>((text::length(text) + 3) / 4);
}

namespace {

// Budgets are kept in characters: four per token, the inverse of estimate_tokens.
constexpr long long CHARS_PER_TOKEN = 4;
// Far beyond any prompt; keeps the character arithmetic clear of overflow.
constexpr long long MAX_BUDGET = 1'000'000'000'000LL;
// Files larger than this are not read for an excerpt (they would not fit anyway).
constexpr uint64_t MAX_READ_BYTES = 8u << 20;
constexpr size_t MAX_OUTLINE = 30;
// At most this share of the budget is held back for the relations while files are laid out.
constexpr size_t RELATIONS_SHARE = 8;

constexpr std::string_view PREAMBLE_HEAD = "# Project context\n";
constexpr std::string_view PREAMBLE_TAIL =
    "\nFiles most relevant to the question, best first, from the project's information graph. "
    "Line numbers are one-based.";

const std::unordered_set<std::string_view>& stop_words() {
  static const std::unordered_set<std::string_view> words = {
      "the",   "and",    "for",    "with",  "from",  "how",    "does",   "what",   "why",
      "where", "when",   "which",  "this",  "that",  "into",   "are",    "was",    "were",
      "has",   "have",   "not",    "you",   "your",  "can",    "could",  "should", "would",
      "will",  "want",   "need",   "please", "fix",  "update", "make",   "show",   "change",
      "explain", "work", "works",  "there", "their", "about",  "our",    "its",    "all"};
  return words;
}

// Lower-case ASCII word runs of three or more characters, stop words dropped,
// first occurrence kept: the words of a question worth looking for in code.
std::vector<std::string> query_terms(std::string_view query) {
  std::vector<std::string> out;
  std::string word;
  auto flush = [&] {
    if (word.size() >= 3 && !stop_words().contains(word) &&
        std::find(out.begin(), out.end(), word) == out.end())
      out.push_back(word);
    word.clear();
  };
  for (char c : query) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')
      word += c;
    else if (c >= 'A' && c <= 'Z')
      word += static_cast<char>(c - 'A' + 'a');
    else
      flush();
  }
  flush();
  return out;
}

std::string_view fence_language(std::string_view ext) {
  static const std::unordered_map<std::string_view, std::string_view> langs = {
      {".ts", "ts"},        {".tsx", "tsx"},      {".js", "js"},        {".jsx", "jsx"},
      {".mjs", "js"},       {".cjs", "js"},       {".py", "python"},    {".go", "go"},
      {".php", "php"},      {".cs", "csharp"},    {".rs", "rust"},      {".java", "java"},
      {".kt", "kotlin"},    {".rb", "ruby"},      {".swift", "swift"},  {".dart", "dart"},
      {".c", "c"},          {".h", "c"},          {".cc", "cpp"},       {".cpp", "cpp"},
      {".hpp", "cpp"},      {".scala", "scala"},  {".lua", "lua"},      {".ex", "elixir"},
      {".exs", "elixir"},   {".hs", "haskell"},   {".zig", "zig"},      {".jl", "julia"},
      {".md", "markdown"},  {".json", "json"},    {".yaml", "yaml"},    {".yml", "yaml"},
      {".toml", "toml"},    {".sql", "sql"},      {".sh", "bash"},      {".css", "css"},
      {".scss", "scss"},    {".html", "html"},    {".xml", "xml"},      {".xaml", "xml"},
      {".vue", "vue"},      {".svelte", "svelte"}, {".prisma", "prisma"}, {".graphql", "graphql"}};
  auto it = langs.find(ext);
  return it == langs.end() ? std::string_view() : it->second;
}

std::string str_field(const json::Value& node, std::string_view key) {
  const json::Value* v = node.find(key);
  return v && v->is_string() ? v->as_string() : std::string();
}

size_t line_field(const json::Value& node, std::string_view key) {
  const json::Value* v = node.find(key);
  return v && v->is_int() && v->as_int() > 0 ? static_cast<size_t>(v->as_int()) : 0;
}

// The id of the file a node belongs to: a symbol's "path", else the part of
// its id before "::"; a file's own id.
std::string file_id_of(const json::Value& node) {
  std::string id = str_field(node, "id");
  if (str_field(node, "kind") != "symbol") return id;
  if (std::string path = str_field(node, "path"); !path.empty()) return path;
  size_t sep = id.find("::");
  return sep == std::string::npos ? id : id.substr(0, sep);
}

SymbolInfo symbol_info(const json::Value& node) {
  SymbolInfo s;
  s.name = str_field(node, "name");
  if (s.name.empty()) {
    std::string id = str_field(node, "id");
    size_t sep = id.find("::");
    s.name = sep == std::string::npos ? id : id.substr(sep + 2);
  }
  s.symbol_type = str_field(node, "symbol_type");
  s.lines = {line_field(node, "line_start"), line_field(node, "line_end")};
  if (s.lines.last < s.lines.first) s.lines.last = s.lines.first;
  s.match_text = text::lower(s.name);
  if (const json::Value* kw = node.find("keywords"); kw && kw->is_array())
    for (const json::Value& k : kw->as_array())
      if (k.is_string()) s.match_text += ' ' + text::lower(k.as_string());
  return s;
}

// One file of the context, gathered before the budget is shared out.
struct Section {
  std::string id;
  const json::Value* entry = nullptr;      // the retrieval entry
  const json::Value* file_node = nullptr;  // the file's own graph node, when there is one
  std::optional<Span> focus;               // the retrieved symbol, when the entry is one
  SourceText source;                       // current file text
  std::vector<SymbolInfo> symbols;
  std::string header;
  std::vector<Span> windows;
  std::string lang;
  size_t want = 0;  // characters the whole excerpt (with its separator) would take
  size_t allowance = 0;
};

// The current text of file `id`, or nothing when it cannot be read or when the
// id, joined to `root` (resolved) and resolved, lies outside the root: a stale
// or tampered graph may name any path, and no file beyond the project may
// reach a prompt.
std::optional<std::string> read_project_file(const std::string& root, const std::string& id) {
  if (id.empty() || id.front() == '/') return std::nullopt;
  try {
    const std::string path = fs::resolve(fs::join(root, id));
    if (!fs::is_within(path, root)) return std::nullopt;
    if (!fs::is_file(path) || fs::file_size_or_throw(path) > MAX_READ_BYTES) return std::nullopt;
    return fs::read_text(path, text::Errors::Drop);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string line_range(Span s) {
  if (s.first == s.last) return "line " + std::to_string(s.first + 1);
  return "lines " + std::to_string(s.first + 1) + "-" + std::to_string(s.last + 1);
}

std::string render_header(const Section& sec, const std::string& summary) {
  std::string out = "\n\n## " + sec.id;
  if (!summary.empty()) out += "\n" + summary;
  if (sec.symbols.empty()) return out;
  out += "\nSymbols:";
  size_t shown = 0;
  for (const SymbolInfo& s : sec.symbols) {
    if (shown == MAX_OUTLINE) {
      out += "\n- … " + std::to_string(sec.symbols.size() - shown) + " more";
      break;
    }
    out.append("\n- `").append(s.name).append("`");
    if (!s.symbol_type.empty()) out.append(" ").append(s.symbol_type).append(",");
    out.append(" ").append(line_range(s.lines));
    if (sec.focus && sec.focus->first == s.lines.first && sec.focus->last == s.lines.last)
      out += " (best match)";
    ++shown;
  }
  return out;
}

// Shares `avail` characters among the sections' excerpts, earlier files
// weighing more; a section that wants less than its share takes only what it
// wants and the rest is shared again.
void share_out(std::vector<Section>& secs, size_t avail) {
  std::vector<size_t> open;
  for (size_t i = 0; i < secs.size(); ++i) open.push_back(i);
  auto weight = [](size_t i) -> uint64_t { return 840 / (i + 2); };
  while (!open.empty()) {
    uint64_t total = 0;
    for (size_t i : open) total += weight(i);
    std::vector<size_t> still;
    size_t granted = 0;
    for (size_t i : open) {
      uint64_t share = static_cast<uint64_t>(avail) * weight(i) / total;
      if (secs[i].want <= share) {
        secs[i].allowance = secs[i].want;
        granted += secs[i].want;
      } else {
        still.push_back(i);
      }
    }
    if (granted == 0) {
      for (size_t i : still) secs[i].allowance = static_cast<uint64_t>(avail) * weight(i) / total;
      return;
    }
    avail -= granted;
    open = std::move(still);
  }
}

// The files to show: retrieval order, one section per file, at most
// max_files, unreadable ones left out.
std::vector<Section> gather_sections(const PackRequest& req) {
  std::vector<Section> secs;
  std::string root;
  try {
    root = fs::resolve(req.project_root);
  } catch (const std::exception&) {
    return secs;  // a root caught in a link loop holds no readable file
  }
  std::unordered_set<std::string> seen;
  for (const json::Value& entry : req.files) {
    if (static_cast<long long>(secs.size()) >= req.max_files) break;
    if (!entry.is_object()) continue;
    std::string id = file_id_of(entry);
    if (id.empty() || !seen.insert(id).second) continue;
    std::optional<std::string> content = read_project_file(root, id);
    if (!content) continue;
    Section& sec = secs.emplace_back();
    sec.id = std::move(id);
    sec.entry = &entry;
    sec.source = SourceText(std::move(*content));
    if (str_field(entry, "kind") == "symbol") sec.focus = symbol_info(entry).lines;
    std::string ext = str_field(entry, "ext");
    sec.lang = fence_language(ext.empty() ? text::lower(fs::suffix(sec.id)) : text::lower(ext));
  }
  return secs;
}

// The graph's view of the sections' files: each file's own node (the first
// one) and its symbols, in graph order.
void attach_graph(std::vector<Section>& secs, const json::Value& graph) {
  const json::Value* nodes = graph.find("nodes");
  if (!nodes || !nodes->is_array()) return;
  std::unordered_map<std::string_view, Section*> by_id;
  for (Section& sec : secs) by_id.emplace(sec.id, &sec);
  for (const json::Value& node : nodes->as_array()) {
    if (!node.is_object()) continue;
    auto it = by_id.find(file_id_of(node));
    if (it == by_id.end()) continue;
    Section& sec = *it->second;
    if (str_field(node, "kind") == "symbol")
      sec.symbols.push_back(symbol_info(node));
    else if (!sec.file_node)
      sec.file_node = &node;
  }
}

// A written summary wins over the graph's; the graph's file node over the retrieval entry.
std::string summary_of(const Section& sec, const Summaries& summaries) {
  if (auto it = summaries.find(sec.id); it != summaries.end())
    if (std::string_view s = text::strip(it->second); !s.empty()) return std::string(s);
  return std::string(text::strip(str_field(sec.file_node ? *sec.file_node : *sec.entry, "summary")));
}

// Outline, header, excerpt windows and the excerpt's full size of one section.
void lay_out(Section& sec, const Summaries& summaries, const std::vector<std::string>& terms) {
  if (sec.symbols.empty() && sec.focus) sec.symbols.push_back(symbol_info(*sec.entry));
  std::stable_sort(sec.symbols.begin(), sec.symbols.end(),
                   [](const SymbolInfo& a, const SymbolInfo& b) { return a.lines.first < b.lines.first; });
  sec.header = render_header(sec, summary_of(sec, summaries));
  const std::vector<std::string_view>& lines = sec.source.lines();
  sec.windows = choose_windows(lines, sec.focus ? &*sec.focus : nullptr, sec.symbols, terms);
  sec.want = sec.windows.empty() ? 0 : excerpt_size(lines, sec.windows, sec.lang) + 2;
}

constexpr std::string_view RELATIONS_HEAD = "\n\n## Relations";

struct Relations {
  std::vector<std::string> lines;
  size_t size = 0;  // characters of the whole block, head included
};

// The relations block, minus "contains" edges of shown files (their outlines list them).
Relations relations(const json::Array& edges, const std::vector<Section>& secs) {
  std::unordered_set<std::string_view> shown;
  for (const Section& sec : secs) shown.insert(sec.id);
  Relations out;
  for (const json::Value& edge : edges) {
    if (!edge.is_object()) continue;
    std::string from = str_field(edge, "from"), rel = str_field(edge, "rel");
    if (rel == "contains" && shown.contains(from)) continue;
    std::string line = "\n- " + from + " " + rel + " " + str_field(edge, "to");
    out.size += text::length(line);
    out.lines.push_back(std::move(line));
  }
  if (!out.lines.empty()) out.size += RELATIONS_HEAD.size();
  return out;
}

// Keeps the sections whose headers fit, best file first, with `reserve`
// characters held back; a header that does not fit ends the list. Returns the
// characters used after the headers.
size_t keep_fitting_headers(std::vector<Section>& secs, size_t used, size_t reserve, size_t capacity) {
  size_t kept = 0;
  for (; kept < secs.size(); ++kept) {
    size_t h = text::length(secs[kept].header);
    if (used + h + reserve > capacity) break;
    used += h;
  }
  secs.resize(kept);
  return used;
}

// Appends each section's header and its excerpt within its allowance; returns
// the characters the excerpts took.
size_t append_sections(std::string& out, const std::vector<Section>& secs) {
  size_t used = 0;
  for (const Section& sec : secs) {
    out += sec.header;
    if (sec.allowance <= 2) continue;
    std::string block = render_excerpt(sec.source.lines(), sec.windows, sec.lang, sec.allowance - 2);
    if (block.empty()) continue;
    out += "\n\n";
    out += block;
    used += 2 + text::length(block);
  }
  return used;
}

// Appends the relations that fit in `room` characters: none unless the head and the first one fit.
void append_relations(std::string& out, const Relations& rel, size_t room) {
  if (rel.lines.empty() || RELATIONS_HEAD.size() + text::length(rel.lines[0]) > room) return;
  out += RELATIONS_HEAD;
  room -= RELATIONS_HEAD.size();
  for (const std::string& line : rel.lines) {
    size_t n = text::length(line);
    if (n > room) break;
    out += line;
    room -= n;
  }
}

}  // namespace

std::string pack(const PackRequest& req) {
  const long long budget = std::min(req.token_budget, MAX_BUDGET);
  if (budget <= 0) return std::string();
  const size_t capacity = static_cast<size_t>(budget * CHARS_PER_TOKEN);

  std::string out(PREAMBLE_HEAD);
  out += "Root: " + req.project_root;
  out += PREAMBLE_TAIL;
  size_t used = text::length(out);
  if (used > capacity) return std::string();

  std::vector<Section> secs = gather_sections(req);
  attach_graph(secs, req.graph);
  const std::vector<std::string> terms = query_terms(req.query);
  for (Section& sec : secs) lay_out(sec, req.summaries, terms);
  const Relations rel = relations(req.edges, secs);

  const size_t reserve = std::min(rel.size, capacity / RELATIONS_SHARE);
  used = keep_fitting_headers(secs, used, reserve, capacity);
  share_out(secs, capacity - used - std::min(reserve, capacity - used));
  used += append_sections(out, secs);
  append_relations(out, rel, used < capacity ? capacity - used : 0);
  if (req.shown)
    for (const Section& sec : secs) req.shown->push_back(sec.id);
  return out;
}

}  // namespace kestrune::ctxpack
