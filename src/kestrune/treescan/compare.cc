// Compare mode: both scanners over one project, side by side.
#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/treescan/treescan.h"

namespace kestrune::treescan {

namespace {

// Python's order of str: by code point, which an undecodable byte of a name breaks in byte order.
struct CodePointLess {
  bool operator()(const std::string& a, const std::string& b) const { return text::compare(a, b) < 0; }
};
using IdSet = std::set<std::string, CodePointLess>;

// What the report needs of one graph, taken before the graph is written away.
struct Counts {
  size_t files = 0, symbols = 0, edges = 0;
  std::map<std::string, size_t> by_type;  // ascending, as sorted() orders str
  IdSet symbol_ids;

  explicit Counts(const lexscan::Graph& g) : edges(g.edges.size()) {
    for (const auto& n : g.nodes) {
      if (n.kind != "symbol") {
        ++files;
        continue;
      }
      ++symbols;
      ++by_type[n.symbol_type];
      symbol_ids.insert(n.id);
    }
  }
};

std::string pad_left(std::string_view s, size_t width) {
  const size_t len = text::length(s);
  return std::string(len < width ? width - len : 0, ' ') + std::string(s);
}

std::string pad_right(std::string_view s, size_t width) {
  const size_t len = text::length(s);
  return std::string(s) + std::string(len < width ? width - len : 0, ' ');
}

std::string L(std::string_view s) { return pad_right(s, 35); }
std::string R(std::string_view s) { return pad_left(s, 10); }
std::string R(size_t n) { return R(std::to_string(n)); }
std::string F(double seconds) { return R(text::format_fixed(seconds, 2)); }

std::string repeat(std::string_view s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// Up to five ids of `a` that `b` lacks, in ascending order, each quoted; and how many there are.
std::string only_in(const IdSet& a, const IdSet& b, size_t& total) {
  std::vector<std::string_view> ids;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(ids), CodePointLess());
  total = ids.size();
  std::string out = "[";
  for (size_t i = 0; i < ids.size() && i < 5; ++i) {
    if (i) out += ", ";
    // An id holding a quote is written as Python writes it.
    if (ids[i].find('\'') == std::string_view::npos) {
      out += '\'';
      out += ids[i];
      out += '\'';
    } else {
      out += json::py_repr(json::Value(ids[i]));
    }
  }
  return out + "]";
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

void compare(const std::string& root, const std::string& ast_out, const std::string& regex_out,
             const std::function<void(std::string_view)>& print, const Grammars& g) {
  lexscan::require_project_root(root);  // before anything is printed or written
  const std::string double_rule = repeat("\u2550", 60), rule = repeat("\u2500", 60);
  print("\n" + double_rule + "\n");
  print("  Comparing AST vs Regex on: " + fs::name(root) + "\n");
  print(double_rule + "\n");

  auto t0 = std::chrono::steady_clock::now();
  lexscan::Graph ast = scan_graph(root, nullptr, 0, g);
  const double ast_time = seconds_since(t0);
  const Counts a(ast);
  lexscan::write_graph(ast, ast_out);

  t0 = std::chrono::steady_clock::now();
  lexscan::Graph regex = lexscan::scan_graph(root);
  const double regex_time = seconds_since(t0);
  const Counts r(regex);
  lexscan::write_graph(regex, regex_out);

  std::string report = "\n" + rule + "\n";
  report += "  " + L("Metric") + " " + R("AST") + " " + R("Regex") + "\n";
  report += rule + "\n";
  auto row = [&](std::string_view label, const std::string& x, const std::string& y) {
    report += "  " + L(label) + " " + x + " " + y + "\n";
  };
  row("Scan time (s)", F(ast_time), F(regex_time));
  row("Files indexed", R(a.files), R(r.files));
  row("Symbols extracted", R(a.symbols), R(r.symbols));
  row("Edges (imports/refs)", R(a.edges), R(r.edges));

  report += "\n  Symbol breakdown:\n";
  report += "  " + L("Type") + " " + R("AST") + " " + R("Regex") + "\n";
  report += "  " + repeat("\u2500", 55) + "\n";
  std::set<std::string> types;
  for (const auto& [type, n] : a.by_type) types.insert(type);
  for (const auto& [type, n] : r.by_type) types.insert(type);
  auto count = [](const Counts& c, const std::string& type) {
    auto it = c.by_type.find(type);
    return it == c.by_type.end() ? size_t{0} : it->second;
  };
  for (const auto& type : types) row(type, R(count(a, type)), R(count(r, type)));

  size_t only_ast = 0, only_regex = 0;
  const std::string ast_sample = only_in(a.symbol_ids, r.symbol_ids, only_ast);
  const std::string regex_sample = only_in(r.symbol_ids, a.symbol_ids, only_regex);
  report += "\n  Symbols found ONLY by AST (" + std::to_string(only_ast) + " total): " + ast_sample + "\n";
  report += "  Symbols found ONLY by Regex (" + std::to_string(only_regex) + " total): " + regex_sample + "\n";
  report += "\n  AST graph:   " + fs::pure(ast_out) + "\n";
  report += "  Regex graph: " + fs::pure(regex_out) + "\n";
  report += "\n";
  print(report);
}

}  // namespace kestrune::treescan
