// What the tree scanner tests share: the grammars, and short forms of symbols
// and edges to compare whole lists at once.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "kestrune/treescan/treescan.h"

namespace kestrune::treescan::testing {

// $KESTRUNE_GRAMMARS when set, else the grammars this build made.
inline std::string grammar_folder() {
  const char* dir = std::getenv("KESTRUNE_GRAMMARS");
  return dir && *dir ? dir : KESTRUNE_GRAMMAR_DIR;
}

inline const Grammars& all_grammars() {
  static const Grammars g = load_grammars(grammar_folder());
  return g;
}

// "name type/confidence[ exported] start-end"
inline std::vector<std::string> brief(const std::vector<Symbol>& syms) {
  std::vector<std::string> out;
  for (const auto& s : syms)
    out.push_back(s.name + " " + s.symbol_type + "/" + s.confidence + (s.exported ? " exported " : " ") +
                  std::to_string(s.line_start) + "-" + std::to_string(s.line_end));
  return out;
}

// "rel to"
inline std::vector<std::string> brief(const std::vector<Edge>& edges) {
  std::vector<std::string> out;
  for (const auto& e : edges) out.push_back(e.rel + " " + e.to);
  return out;
}

}  // namespace kestrune::treescan::testing
