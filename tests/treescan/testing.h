// What the tree scanner tests share: the grammars built beside the sources,
// and short forms of symbols and edges to compare whole lists at once.
#pragma once

#include <string>
#include <vector>

#include "common/testkit.h"
#include "kestrune/treescan/treescan.h"

namespace kestrune::treescan::testing {

using testkit::slurp;
using testkit::TempDir;

inline const Grammars& all_grammars() {
  static const Grammars g = load_grammars(KESTRUNE_GRAMMAR_DIR);
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
