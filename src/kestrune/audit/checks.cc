#include "kestrune/audit/checks.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kestrune/audit/graph_view.h"
#include "kestrune/audit/score.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"

namespace kestrune::audit {

namespace {

// Patterns are compiled once, on first use.
const re::Regex& test_pat() {
  static const re::Regex r(R"re((?:\.test\.|\.spec\.|_test\.|test_|spec_|__tests__/|/tests?/))re", re::I);
  return r;
}
const re::Regex& db_re() {
  static const re::Regex r(
      R"re((?:db\.|prisma\.|mongoose\.|sqlalchemy\.|session\.query|\.query\s*\(|\.execute\s*\(|\.find(?:One|All|Many)?\s*\(|\.save\s*\(|\.create\s*\(|cursor\.execute))re",
      re::I);
  return r;
}
const re::Regex& route_re() {
  static const re::Regex r(R"re((?:routes?|controllers?|handlers?|views?|api))re", re::I);
  return r;
}
const re::Regex& todo_re() {
  static const re::Regex r(R"re((?:TODO|FIXME|HACK|XXX)\s*(?:\([^)]*\))?[:：]?\s*(.{3,}))re", re::I);
  return r;
}
const re::Regex& external_re() {
  static const re::Regex r(
      R"re((?:fetch\s*\(|axios\.[a-z]+\s*\(|http(?:s)?\.request\s*\(|requests\.[a-z]+\s*\(|urllib\.request\.|grpc\.|\.rpc\s*\())re",
      re::I);
  return r;
}
const re::Regex& err_re() {
  static const re::Regex r(R"re(\btry\b|\bcatch\b|\bexcept\b|\brescue\b)re", re::I);
  return r;
}
const re::Regex& test_ending_re() {
  static const re::Regex r(R"re((?:\.test|\.spec|_test|_spec)$)re", re::I);
  return r;
}
const re::Regex& test_beginning_re() {
  static const re::Regex r(R"re(^(?:test_|spec_))re", re::I);
  return r;
}


// PurePath.stem: the last component without its suffix.
std::string stem_of(std::string_view path) {
  std::string name = fs::name(path);
  name.resize(name.size() - fs::suffix(name).size());
  return name;
}

// Names that count as the entry point of a module, hence as tested.
bool is_entry_stem(std::string_view stem) {
  return stem == "index" || stem == "main" || stem == "init" || stem == "app";
}

json::Object symbol_ref(const json::Value& node, std::string_view file) {
  json::Object rec;
  rec.append("file", std::string(file));
  rec.append("name", std::string(str_field(node, "name")));
  rec.append("line", int_field(node, "line_start") + 1);
  return rec;
}

// Identifier tokens as [A-Za-z_$][A-Za-z0-9_$]* finds them; all ASCII, so a byte
// scan over UTF-8 sees exactly the same tokens.
template <class F>
void for_each_identifier(std::string_view s, F&& f) {
  auto is_start = [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$';
  };
  auto is_part = [&](unsigned char c) { return is_start(c) || (c >= '0' && c <= '9'); };
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    if (!is_start(static_cast<unsigned char>(s[i]))) {
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < n && is_part(static_cast<unsigned char>(s[j]))) ++j;
    f(s.substr(i, j - i));
    i = j;
  }
}

}  // namespace

bool is_code_ext(std::string_view suffix) {
  return std::find(std::begin(CODE_EXTS), std::end(CODE_EXTS), suffix) != std::end(CODE_EXTS);
}

// Builds no path parts: ids are plain relative paths, and this runs for every
// node of every check.
bool has_code_suffix(std::string_view path) {
  std::string_view last = path;
  while (last.size() > 1 && last.back() == '/') last.remove_suffix(1);
  last = last.substr(last.rfind('/') + 1);
  if (last.empty() || last == "." || last.back() == '/') return is_code_ext(fs::suffix(path));
  const size_t dot = last.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == last.size()) return false;
  return is_code_ext(last.substr(dot));
}

json::Value load_graph(const std::string& root) {
  const std::string path = fs::join(fs::join(root, ".braid"), "info_graph.json");
  if (!fs::exists(path)) return json::Object{};
  try {
    json::Value g = json::load_file(path, text::Errors::Replace);
    if (g.is_object()) return g;
  } catch (const std::exception&) {
  }
  return json::Object{};
}

std::string read_source(const std::string& root, std::string_view file_id) {
  const std::string path = fs::join(root, file_id);
  try {
    if (fs::exists(path)) return fs::read_text(path, text::Errors::Replace);
  } catch (const std::exception&) {
  }
  return {};
}

json::Value check_dead_exports(const json::Value& graph) {
  const json::Array& nodes = list_field(graph, "nodes");

  // Only imports and references are uses; every symbol is the target of its
  // own file's "contains" edge, so counting those would hide every dead export.
  std::unordered_set<std::string_view> used;
  for (const json::Value& e : list_field(graph, "edges")) {
    std::string_view rel = str_field(e, "rel");
    if (rel == "imports" || rel == "references") used.insert(str_field(e, "to"));
  }

  struct Candidate {
    const json::Value* node;
    std::string_view file;
  };
  std::vector<Candidate> candidates;
  for (const json::Value& n : nodes) {
    if (str_field(n, "kind") != "symbol" || !truthy_field(n, "exported")) continue;
    if (used.count(str_field(n, "id"))) continue;
    std::string_view file = symbol_file(n);
    if (has_code_suffix(file)) candidates.push_back({&n, file});
  }
  if (candidates.empty()) return json::Array{};

  // A name written in another file's text is a use the scanners record no edge
  // for (a call, a JSX tag, a re-export). Only the candidates' names are looked
  // up, and each file's text is tokenised once.
  struct Seen {
    std::string_view first_file;
    bool any = false;
    bool several = false;  // occurs in at least two distinct files
  };
  std::unordered_map<std::string_view, Seen> names;
  for (const Candidate& c : candidates) names.try_emplace(str_field(*c.node, "name"));
  for (const json::Value& n : nodes) {
    if (str_field(n, "kind") != "file") continue;
    std::string_view id = str_field(n, "id");
    for_each_identifier(str_field(n, "content"), [&](std::string_view tok) {
      auto it = names.find(tok);
      if (it == names.end() || it->second.several) return;
      Seen& s = it->second;
      if (!s.any) {
        s.any = true;
        s.first_file = id;
      } else if (s.first_file != id) {
        s.several = true;
      }
    });
  }
  std::erase_if(candidates, [&](const Candidate& c) {
    const Seen& s = names.at(str_field(*c.node, "name"));
    return s.several || (s.any && s.first_file != c.file);
  });

  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return text::compare(a.file, b.file) < 0; });
  if (candidates.size() > 50) candidates.resize(50);
  json::Array out;
  out.reserve(candidates.size());
  for (const Candidate& c : candidates) {
    json::Object rec;
    rec.append("file", std::string(c.file));
    rec.append("symbol", std::string(str_field(*c.node, "name")));
    rec.append("line", int_field(*c.node, "line_start") + 1);
    rec.append("type", std::string(str_field(*c.node, "symbol_type")));
    out.emplace_back(std::move(rec));
  }
  return out;
}

json::Value check_test_coverage(const json::Value& graph, const std::string& root) {
  std::vector<std::string_view> code_files;
  std::unordered_set<std::string> tested;
  for (const json::Value& n : list_field(graph, "nodes")) {
    if (str_field(n, "kind") != "file") continue;
    std::string_view id = str_field(n, "id");
    if (test_pat().contains(id)) {
      std::string stem = stem_of(id);
      stem = test_ending_re().sub("", stem, 1);
      stem = test_beginning_re().sub("", stem, 1);
      tested.insert(text::lower(stem));
    } else if (has_code_suffix(id)) {
      code_files.push_back(id);
    }
  }

  std::vector<std::string_view> untested;
  for (std::string_view id : code_files) {
    std::string stem = text::lower(stem_of(id));
    if (!tested.count(stem) && !is_entry_stem(stem)) untested.push_back(id);
  }

  const size_t total = code_files.size();
  const size_t covered = total - untested.size();
  const long long pct =
      total == 0 ? 100
                 : text::round_half_even(static_cast<double>(covered) / static_cast<double>(total) * 100);

  // Only the first 20 are measured: the list is a pointer to where to start, not a census.
  struct Sized {
    std::string_view id;
    uint64_t size;
  };
  std::vector<Sized> sized;
  for (size_t i = 0; i < untested.size() && i < 20; ++i)
    sized.push_back({untested[i], fs::file_size(fs::join(root, untested[i])).value_or(0)});
  std::stable_sort(sized.begin(), sized.end(),
                   [](const Sized& a, const Sized& b) { return a.size > b.size; });
  json::Array listed;
  for (size_t i = 0; i < sized.size() && i < 15; ++i) listed.emplace_back(std::string(sized[i].id));

  json::Object rec;
  rec.append("total_code_files", static_cast<long long>(total));
  rec.append("tested_files", static_cast<long long>(covered));
  rec.append("coverage_pct", pct);
  rec.append("untested", std::move(listed));
  return rec;
}

namespace {

// The cycle search starts from at most this many sources, and is not entered
// again once this many cycles are recorded.
constexpr size_t MAX_CYCLE_STARTS = 300;
constexpr size_t MAX_CYCLES = 10;

// The import/reference graph with node ids interned to dense indices.
struct DependencyGraph {
  std::vector<std::string_view> ids;   // views into the graph's edges
  std::vector<std::vector<int>> succ;  // distinct successors, in insertion order
  std::vector<int> sources;            // nodes with successors, in order of first appearance
};

DependencyGraph dependency_graph(const json::Value& graph) {
  DependencyGraph g;
  std::unordered_map<std::string_view, int> index;
  std::vector<char> is_source;
  std::unordered_set<uint64_t> pairs;
  auto intern = [&](std::string_view id) {
    auto [it, fresh] = index.try_emplace(id, static_cast<int>(g.ids.size()));
    if (fresh) {
      g.ids.push_back(id);
      g.succ.emplace_back();
      is_source.push_back(0);
    }
    return it->second;
  };
  for (const json::Value& e : list_field(graph, "edges")) {
    std::string_view rel = str_field(e, "rel");
    if (rel != "imports" && rel != "references") continue;
    std::string_view a = str_field(e, "from"), b = str_field(e, "to");
    if (a.empty() || b.empty() || a == b) continue;
    const int ia = intern(a), ib = intern(b);
    if (!is_source[ia]) {
      is_source[ia] = 1;
      g.sources.push_back(ia);
    }
    if (pairs.insert(static_cast<uint64_t>(ia) << 32 | static_cast<uint32_t>(ib)).second)
      g.succ[ia].push_back(ib);
  }
  return g;
}

// Cycles as node paths, first node where the cycle closes; a cycle with the
// same members as one already found is left out.
class CycleLog {
 public:
  size_t size() const { return cycles_.size(); }
  void record(std::vector<int> cycle) {
    std::vector<int> members = cycle;
    std::sort(members.begin(), members.end());
    if (std::find(member_sets_.begin(), member_sets_.end(), members) != member_sets_.end()) return;
    member_sets_.push_back(std::move(members));
    cycles_.push_back(std::move(cycle));
  }
  std::vector<std::vector<int>> take() { return std::move(cycles_); }

 private:
  std::vector<std::vector<int>> cycles_;
  std::vector<std::vector<int>> member_sets_;  // sorted members, to compare cycles as sets
};

// Depth-first search from each unseen source in turn, with an explicit stack
// so that long import chains need no deep call stack. Every node is entered
// at most once over the whole search.
std::vector<std::vector<int>> find_cycles(const DependencyGraph& g) {
  CycleLog log;
  std::vector<char> seen(g.ids.size(), 0);
  std::vector<int> depth(g.ids.size(), -1);  // position on the current path, -1 when off it
  std::vector<int> path;
  struct Frame {
    int node;
    size_t next;  // the successor to look at next
  };
  std::vector<Frame> stack;
  // A search entered once the cap is reached returns at once; frames already
  // running keep walking their successors.
  auto enter = [&](int node) {
    depth[node] = static_cast<int>(path.size());
    path.push_back(node);
    stack.push_back({node, log.size() >= MAX_CYCLES ? g.succ[node].size() : 0});
  };

  for (size_t k = 0; k < g.sources.size() && k < MAX_CYCLE_STARTS; ++k) {
    const int start = g.sources[k];
    if (seen[start]) continue;
    enter(start);
    while (!stack.empty()) {
      const int node = stack.back().node;
      if (stack.back().next == g.succ[node].size()) {
        depth[node] = -1;
        path.pop_back();
        stack.pop_back();
        continue;
      }
      const int nb = g.succ[node][stack.back().next++];
      if (depth[nb] >= 0) {
        log.record(std::vector<int>(path.begin() + depth[nb], path.end()));
      } else if (!seen[nb]) {
        seen[nb] = 1;
        enter(nb);
      }
    }
    seen[start] = 1;
  }
  return log.take();
}

}  // namespace

json::Value check_circular_deps(const json::Value& graph) {
  const DependencyGraph deps = dependency_graph(graph);
  json::Array out;
  for (const auto& cycle : find_cycles(deps)) {
    json::Array ring;
    for (int i : cycle) ring.emplace_back(std::string(deps.ids[i]));
    out.emplace_back(std::move(ring));
  }
  return out;
}

json::Value check_copy_paste(const json::Value& graph) {
  std::unordered_map<std::string_view, size_t> group_of;
  std::vector<std::vector<const json::Value*>> groups;
  for (const json::Value& n : list_field(graph, "nodes")) {
    if (str_field(n, "kind") != "symbol") continue;
    std::string_view hash = str_field(n, "body_hash");
    if (hash.empty() || body_length(n) < 10 || !has_code_suffix(symbol_file(n))) continue;
    auto [it, fresh] = group_of.try_emplace(hash, groups.size());
    if (fresh) groups.emplace_back();
    groups[it->second].push_back(&n);
  }

  struct Dup {
    size_t group;
    long long lines;
    long long weight;
  };
  std::vector<Dup> dups;
  for (size_t g = 0; g < groups.size(); ++g) {
    if (groups[g].size() < 2) continue;
    const long long lines = body_length(*groups[g][0]);
    dups.push_back({g, lines, static_cast<long long>(groups[g].size()) * lines});
  }
  std::stable_sort(dups.begin(), dups.end(), [](const Dup& a, const Dup& b) { return a.weight > b.weight; });
  if (dups.size() > 12) dups.resize(12);

  json::Array out;
  for (const Dup& d : dups) {
    const auto& members = groups[d.group];
    json::Array symbols;
    for (size_t i = 0; i < members.size() && i < 5; ++i)
      symbols.emplace_back(symbol_ref(*members[i], symbol_file(*members[i])));
    json::Object rec;
    rec.append("copies", static_cast<long long>(members.size()));
    rec.append("lines", d.lines);
    rec.append("symbols", std::move(symbols));
    out.emplace_back(std::move(rec));
  }
  return out;
}

json::Value check_db_in_routes(const json::Value& graph, const std::string& root) {
  struct Hit {
    json::Object rec;
    long long count;
  };
  std::vector<Hit> hits;
  for (const json::Value& n : list_field(graph, "nodes")) {
    if (str_field(n, "kind") != "file") continue;
    std::string_view id = str_field(n, "id");
    if (!route_re().contains(id) || !has_code_suffix(id)) continue;
    const std::string text = read_source(root, id);
    long long count = 0;
    std::vector<std::string> patterns;
    db_re().finditer(text, [&](const re::Match& m) {
      ++count;
      std::string_view t = m.group();
      if (patterns.size() < 3 && std::find(patterns.begin(), patterns.end(), t) == patterns.end())
        patterns.emplace_back(t);
      return true;
    });
    if (count == 0) continue;
    json::Array lines;
    long long number = 0;
    for (std::string_view line : text::splitlines(text)) {
      ++number;
      if (db_re().contains(line)) {
        lines.emplace_back(number);
        if (lines.size() == 5) break;
      }
    }
    json::Array pats;
    for (auto& p : patterns) pats.emplace_back(std::move(p));
    json::Object rec;
    rec.append("file", std::string(id));
    rec.append("count", count);
    rec.append("lines", std::move(lines));
    rec.append("patterns", std::move(pats));
    hits.push_back({std::move(rec), count});
  }
  std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.count > b.count; });
  json::Array out;
  for (size_t i = 0; i < hits.size() && i < 10; ++i) out.emplace_back(std::move(hits[i].rec));
  return out;
}

json::Value check_todos(const json::Value& graph, const std::string& root) {
  json::Array out;
  for (const json::Value& n : list_field(graph, "nodes")) {
    if (str_field(n, "kind") != "file") continue;
    std::string_view id = str_field(n, "id");
    if (!has_code_suffix(id)) continue;
    const std::string text = read_source(root, id);
    // A marker inside a line is also one in the whole text, so most files are
    // dismissed by one search.
    if (!todo_re().contains(text)) continue;
    long long number = 0;
    for (std::string_view line : text::splitlines(text)) {
      ++number;
      auto m = todo_re().search(line);
      if (!m) continue;
      json::Object rec;
      rec.append("file", std::string(id));
      rec.append("line", number);
      rec.append("text", std::string(text::strip(text::head(m->group(), 90))));
      out.emplace_back(std::move(rec));
      if (out.size() == 40) return out;
    }
  }
  return out;
}

json::Value check_missing_error_handling(const json::Value& graph, const std::string& root) {
  struct Source {
    std::string text;
    std::vector<std::string_view> lines;
    bool calls_out = false;  // whether the whole text makes any external call
  };
  // Each file is read once; map nodes never move, so the line views stay valid.
  std::unordered_map<std::string, Source> cache;
  json::Array out;
  for (const json::Value& n : list_field(graph, "nodes")) {
    if (str_field(n, "kind") != "symbol") continue;
    std::string_view file = symbol_file(n);
    if (!has_code_suffix(file)) continue;
    auto [it, fresh] = cache.try_emplace(std::string(file));
    Source& src = it->second;
    if (fresh) {
      src.text = read_source(root, file);
      // Line breaks are white space to the call pattern, so a call inside a
      // body is also a call somewhere in the text.
      src.calls_out = external_re().contains(src.text);
      if (src.calls_out) src.lines = text::splitlines(src.text);
    }
    if (!src.calls_out) continue;

    // Lines line_start..line_end inclusive, 0-based as the graph stores them.
    const long long start = int_field(n, "line_start");
    const long long last = has_int_field(n, "line_end") ? int_field(n, "line_end") : start;
    const long long nlines = static_cast<long long>(src.lines.size());
    std::string body;
    for (long long i = std::max(start, 0LL); i <= last && i < nlines; ++i) {
      if (i > std::max(start, 0LL)) body += '\n';
      body += src.lines[static_cast<size_t>(i)];
    }
    if (!external_re().contains(body) || err_re().contains(body)) continue;
    json::Object rec;
    rec.append("file", std::string(file));
    rec.append("symbol", std::string(str_field(n, "name")));
    rec.append("line", start + 1);
    out.emplace_back(std::move(rec));
    if (out.size() == 25) break;
  }
  return out;
}

json::Object run_audit(const std::string& root, const Progress& progress) {
  json::Value graph = load_graph(root);
  if (graph.as_object().empty()) {
    progress("No info_graph.json found in " + root + "/.braid/\n");
    progress("Run `brc .` first to build the graph, then re-run the audit.\n");
    throw NoGraph("no graph under " + root);
  }

  struct Check {
    const char* key;
    const char* label;
    std::function<json::Value()> run;
  };
  const Check checks[] = {
      {"dead_exports", "dead exports", [&] { return check_dead_exports(graph); }},
      {"test_coverage", "test coverage", [&] { return check_test_coverage(graph, root); }},
      {"circular_deps", "circular deps", [&] { return check_circular_deps(graph); }},
      {"copy_paste", "copy-paste", [&] { return check_copy_paste(graph); }},
      {"db_in_routes", "DB in routes", [&] { return check_db_in_routes(graph, root); }},
      {"todos", "TODOs", [&] { return check_todos(graph, root); }},
      {"missing_error_handling", "error handling", [&] { return check_missing_error_handling(graph, root); }},
  };
  std::vector<std::pair<const char*, json::Value>> found;
  for (const Check& c : checks) {
    progress(std::string("  ") + c.label + "...  ");
    found.emplace_back(c.key, c.run());
    progress("done\n");
  }

  json::Object r;
  r.append("_graph", std::move(graph));
  for (auto& [key, value] : found) r.append(key, std::move(value));
  r.append("debt_score", debt_score(r));
  return r;
}

}  // namespace kestrune::audit
