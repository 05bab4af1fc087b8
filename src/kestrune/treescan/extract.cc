#include "kestrune/treescan/extract.h"

#include <algorithm>
#include <optional>
#include <unordered_set>

#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/keywords.h"
#include "kestrune/lexscan/prefilter.h"
#include "kestrune/lexscan/symbols.h"

namespace kestrune::treescan {

namespace {

bool first_is_upper(std::string_view s) {
  size_t i = 0;
  return !s.empty() && text::isupper(text::next(s, i));
}

// Builds the symbol list of one file: the first declaration of a name wins.
class Recorder {
 public:
  Recorder(std::string_view content, std::string_view file_path) : content_(content), file_path_(file_path) {}

  // Whether `name` was recorded before.
  bool seen(const std::string& name) const { return seen_.contains(name); }

  void add(const std::string& name, TSNode node, std::string type, std::string confidence, bool exported) {
    if (!seen_.insert(name).second) return;
    if (!lines_) lines_ = text::splitlines(content_);
    const long long start = ts_node_start_point(node).row, end = ts_node_end_point(node).row;
    Symbol s;
    s.id = std::string(file_path_) + "::" + name;
    s.name = name;
    s.symbol_type = std::move(type);
    s.line_start = start;
    s.line_end = end;
    s.body_hash = lexscan::body_hash(*lines_, start, end);
    s.confidence = std::move(confidence);
    s.exported = exported;
    s.keywords = lexscan::name_keywords(name);
    symbols_.push_back(std::move(s));
  }

  std::vector<Symbol> take() { return std::move(symbols_); }

 private:
  std::string_view content_, file_path_;
  std::unordered_set<std::string> seen_;
  std::optional<lexscan::Lines> lines_;  // split on the first record
  std::vector<Symbol> symbols_;
};

// Text with every leading and trailing quote of either kind removed.
std::string unquoted(std::string_view s) { return std::string(text::strip(s, "'\"")); }

bool is_exported(const Source& s, TSNode parent) {
  if (!present(parent)) return false;
  const Kind k = s.kind(parent);
  return k == Kind::ExportStatement || k == Kind::ExportClause || k == Kind::ExportDefaultDeclaration;
}

// The lines (counted in line feeds) that Python route decorators start on, ascending.
std::vector<long long> route_decorator_lines(std::string_view content) {
  static const re::Regex kRouteDecorator(R"(@(?:app|router|blueprint)\.(?:get|post|put|delete|patch)\s*\()", re::I);
  std::vector<long long> lines;
  if (!lexscan::has(content, "@")) return lines;
  size_t counted = 0;
  long long line = 0;
  kRouteDecorator.finditer(re::Valid(content), [&](const re::Match& m) {
    line += std::count(content.begin() + static_cast<std::ptrdiff_t>(counted),
                       content.begin() + static_cast<std::ptrdiff_t>(m.start()), '\n');
    counted = m.start();
    lines.push_back(line);
    return true;
  });
  return lines;
}

bool near_any(const std::vector<long long>& sorted, long long row) {
  auto it = std::lower_bound(sorted.begin(), sorted.end(), row - 3);
  return it != sorted.end() && *it <= row + 3;
}

}  // namespace

std::pair<std::string, std::string> classify_ts_name(std::string_view name, bool exported) {
  return lexscan::classify_ts(name, exported);
}

Extraction extract_script(const Language& lang, Parsers& parsers, std::string_view content,
                          std::string_view file_path, unsigned want) {
  auto tree = parsers.parse(lang, content);
  const Source s{lang, content};
  Recorder rec(content, file_path);
  Extraction out;
  const std::string from(file_path);
  const bool symbols = want & kSymbols, imports = want & kImports;

  auto named = [&](TSNode n) -> std::optional<std::string> {
    TSNode name = s.field(n, Field::Name);
    if (!present(name)) return std::nullopt;
    return s.text(name);
  };
  walk_tree(ts_tree_root_node(tree.get()), [&](TSNode n, [[maybe_unused]] TSNode parent) {
    const uint16_t symbol = ts_node_symbol(n);
    switch (lang.kind(symbol)) {
      case Kind::FunctionDeclaration:
      case Kind::GeneratorFunctionDeclaration:
        if (!symbols) break;
        if (auto name = named(n)) {
          const bool exported = is_exported(s, parent);
          auto [type, confidence] = classify_ts_name(*name, exported);
          rec.add(*name, n, type, confidence, exported);
        }
        break;
      case Kind::LexicalDeclaration: {
        if (!symbols) break;
        std::optional<bool> exported;
        each_child(n, [&](TSNode d) {
          if (s.kind(d) != Kind::VariableDeclarator) return;
          TSNode name = s.field(d, Field::Name), value = s.field(d, Field::Value);
          if (!present(name) || !present(value)) return;
          const Kind v = s.kind(value);
          if (v != Kind::ArrowFunction && v != Kind::Function) return;
          if (!exported) exported = is_exported(s, parent);
          const std::string text = s.text(name);
          auto [type, confidence] = classify_ts_name(text, *exported);
          rec.add(text, n, type, confidence, *exported);
        });
        break;
      }
      case Kind::ClassDeclaration:
      case Kind::InterfaceDeclaration:
      case Kind::TypeAliasDeclaration:
      case Kind::EnumDeclaration:
        if (!symbols) break;
        if (auto name = named(n)) rec.add(*name, n, "model", "high", is_exported(s, parent));
        break;
      case Kind::MethodDefinition:
        if (!symbols) break;
        if (auto name = named(n); name && !name->starts_with("#")) rec.add(*name, n, "use_case", "medium", false);
        break;
      case Kind::ImportStatement:
        if (!imports) break;
        if (TSNode source = s.field(n, Field::Source); present(source))
          out.imports.push_back({from, unquoted(s.text(source)), "imports"});
        break;
      case Kind::CallExpression: {
        if (!imports) break;
        TSNode fn = s.field(n, Field::Function), args = s.field(n, Field::Arguments);
        if (!present(fn) || !present(args) || s.text(fn) != "require") break;
        each_child(args, [&](TSNode a) {
          if (s.kind(a) == Kind::String) out.imports.push_back({from, unquoted(s.text(a)), "requires"});
        });
        break;
      }
      default:
        break;
    }
    return s.enter(n, symbol);
  });
  out.symbols = rec.take();
  return out;
}

Extraction extract_python(const Language& lang, Parsers& parsers, std::string_view content,
                          std::string_view file_path, unsigned want) {
  auto tree = parsers.parse(lang, content);
  const Source s{lang, content};
  Recorder rec(content, file_path);
  Extraction out;
  const std::string from(file_path);
  const bool symbols = want & kSymbols, imports = want & kImports;
  const std::vector<long long> decorators = symbols ? route_decorator_lines(content) : std::vector<long long>();

  // Private names and test functions are never recorded; every other name is exported.
  auto add = [&](const std::string& name, TSNode n, const char* type) {
    if (rec.seen(name) || name.starts_with("_") || name.starts_with("test_")) return;
    rec.add(name, n, type, "high", true);
  };
  walk_tree(ts_tree_root_node(tree.get()), [&](TSNode n, [[maybe_unused]] TSNode parent) {
    const uint16_t symbol = ts_node_symbol(n);
    switch (const Kind k = lang.kind(symbol)) {
      case Kind::FunctionDefinition:
      case Kind::DecoratedDefinition: {
        if (!symbols) break;
        TSNode target = n;
        if (k == Kind::DecoratedDefinition) {
          bool found = false;
          each_child(n, [&](TSNode c) {
            const Kind ck = s.kind(c);
            if (!found && (ck == Kind::FunctionDefinition || ck == Kind::ClassDefinition)) {
              target = c;
              found = true;
            }
          });
        }
        if (s.kind(target) != Kind::FunctionDefinition) break;
        TSNode name = s.field(target, Field::Name);
        if (!present(name)) break;
        const bool route = near_any(decorators, ts_node_start_point(n).row);
        add(s.text(name), n, route ? "api_route" : "use_case");
        break;
      }
      case Kind::ClassDefinition:
        if (!symbols) break;
        if (TSNode name = s.field(n, Field::Name); present(name)) add(s.text(name), n, "model");
        break;
      case Kind::ImportStatement:
        if (!imports) break;
        each_child(n, [&](TSNode c) {
          const Kind ck = s.kind(c);
          if (ck != Kind::DottedName && ck != Kind::AliasedImport) return;
          const std::string text = s.text(c);
          std::string_view module = text;
          if (size_t as = module.find(" as "); as != std::string_view::npos) module = module.substr(0, as);
          out.imports.push_back({from, std::string(text::strip(module)), "imports"});
        });
        break;
      case Kind::ImportFromStatement:
        if (!imports) break;
        if (TSNode module = s.field(n, Field::ModuleName); present(module))
          out.imports.push_back({from, s.text(module), "imports"});
        break;
      default:
        break;
    }
    return s.enter(n, symbol);
  });
  out.symbols = rec.take();
  return out;
}

Extraction extract_go(const Language& lang, Parsers& parsers, std::string_view content, std::string_view file_path,
                      unsigned want) {
  auto tree = parsers.parse(lang, content);
  const Source s{lang, content};
  Recorder rec(content, file_path);
  Extraction out;
  const std::string from(file_path);
  const bool symbols = want & kSymbols, imports = want & kImports;

  walk_tree(ts_tree_root_node(tree.get()), [&](TSNode n, [[maybe_unused]] TSNode parent) {
    const uint16_t symbol = ts_node_symbol(n);
    switch (lang.kind(symbol)) {
      case Kind::FunctionDeclaration:
      case Kind::MethodDeclaration:
        if (!symbols) break;
        if (TSNode name = s.field(n, Field::Name); present(name)) {
          const std::string text = s.text(name);
          rec.add(text, n, "use_case", "high", first_is_upper(text));
        }
        break;
      case Kind::TypeDeclaration:
        if (!symbols) break;
        // A grouped declaration gives all its specs the group's rows.
        each_child(n, [&](TSNode spec) {
          if (s.kind(spec) != Kind::TypeSpec) return;
          TSNode name = s.field(spec, Field::Name);
          if (!present(name)) return;
          const std::string text = s.text(name);
          if (!first_is_upper(text)) return;
          TSNode type = s.field(spec, Field::Type);
          const bool interface = present(type) && s.kind(type) == Kind::InterfaceType;
          rec.add(text, n, interface ? "use_case" : "model", "high", true);
        });
        break;
      case Kind::ImportSpec:
        if (!imports) break;
        each_child(n, [&](TSNode c) {
          if (s.kind(c) == Kind::InterpretedStringLiteral)
            out.imports.push_back({from, std::string(text::strip(s.text(c), "\"")), "imports"});
        });
        break;
      default:
        break;
    }
    return s.enter(n, symbol);
  });
  out.symbols = rec.take();
  return out;
}

std::vector<Symbol> extract_symbols_ts_ast(std::string_view content, std::string_view file_path,
                                           std::string_view ext, const Grammars& g) {
  if (!g.ast_available) return {};
  Parsers parsers;
  return extract_script(g.script(ext), parsers, content, file_path, kSymbols).symbols;
}

std::vector<Symbol> extract_symbols_py_ast(std::string_view content, std::string_view file_path, const Grammars& g) {
  if (!g.ast_available) return {};
  Parsers parsers;
  return extract_python(g.py, parsers, content, file_path, kSymbols).symbols;
}

std::vector<Symbol> extract_symbols_go_ast(std::string_view content, std::string_view file_path, const Grammars& g) {
  if (!g.go) return {};
  Parsers parsers;
  return extract_go(g.go, parsers, content, file_path, kSymbols).symbols;
}

std::vector<Edge> extract_imports_ts_ast(std::string_view content, std::string_view file_path, std::string_view ext,
                                         const Grammars& g) {
  if (!g.ast_available) return {};
  Parsers parsers;
  return extract_script(g.script(ext), parsers, content, file_path, kImports).imports;
}

std::vector<Edge> extract_imports_py_ast(std::string_view content, std::string_view file_path, const Grammars& g) {
  if (!g.ast_available) return {};
  Parsers parsers;
  return extract_python(g.py, parsers, content, file_path, kImports).imports;
}

std::vector<Edge> extract_imports_go_ast(std::string_view content, std::string_view file_path, const Grammars& g) {
  if (!g.go) return {};
  Parsers parsers;
  return extract_go(g.go, parsers, content, file_path, kImports).imports;
}

}  // namespace kestrune::treescan
