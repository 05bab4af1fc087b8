// Symbols and imports of TypeScript, TSX, JavaScript, Python and Go files,
// read from their syntax trees.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrune/lexscan/graph.h"
#include "kestrune/treescan/grammars.h"
#include "kestrune/treescan/syntax.h"

namespace kestrune::treescan {

using lexscan::Edge;
using lexscan::Symbol;

// What one parse of a file gives: its symbols and its import edges, each in walk order.
struct Extraction {
  std::vector<Symbol> symbols;
  std::vector<Edge> imports;
};

enum Want : unsigned { kSymbols = 1, kImports = 2, kBoth = 3 };

// One parse of `content` (decoded text) with `lang`, walked once for what is
// wanted. `file_path` is the id the symbols and edges carry.
Extraction extract_script(const Language& lang, Parsers& parsers, std::string_view content,
                          std::string_view file_path, unsigned want);
Extraction extract_python(const Language& lang, Parsers& parsers, std::string_view content,
                          std::string_view file_path, unsigned want);
Extraction extract_go(const Language& lang, Parsers& parsers, std::string_view content,
                      std::string_view file_path, unsigned want);

// (symbol_type, confidence) of a TypeScript/JavaScript name.
std::pair<std::string, std::string> classify_ts_name(std::string_view name, bool exported);

// The six extractors as the module offers them, each with a parser of its own:
// empty when the grammars they need did not load. `ext` is lower-cased.
std::vector<Symbol> extract_symbols_ts_ast(std::string_view content, std::string_view file_path,
                                           std::string_view ext, const Grammars& g = grammars());
std::vector<Symbol> extract_symbols_py_ast(std::string_view content, std::string_view file_path,
                                           const Grammars& g = grammars());
std::vector<Symbol> extract_symbols_go_ast(std::string_view content, std::string_view file_path,
                                           const Grammars& g = grammars());
std::vector<Edge> extract_imports_ts_ast(std::string_view content, std::string_view file_path,
                                         std::string_view ext, const Grammars& g = grammars());
std::vector<Edge> extract_imports_py_ast(std::string_view content, std::string_view file_path,
                                         const Grammars& g = grammars());
std::vector<Edge> extract_imports_go_ast(std::string_view content, std::string_view file_path,
                                         const Grammars& g = grammars());

}  // namespace kestrune::treescan
