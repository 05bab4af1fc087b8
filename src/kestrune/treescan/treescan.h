// The syntax-tree scanner: the information graph of a project built from
// tree-sitter syntax trees of its TypeScript, TSX, JavaScript, Python and Go
// files, with regular expressions for the rest, structural peer edges, and a
// side-by-side comparison with the regex scanner.
//
// This is the face other code uses; the pieces behind it live in grammars.h,
// syntax.h, extract.h, walk.h, keywords.h, peers.h and scan.h.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "kestrune/treescan/extract.h"
#include "kestrune/treescan/grammars.h"
#include "kestrune/treescan/scan.h"

namespace kestrune::treescan {

// Scans `root` with both scanners, writes both graphs (no symbol index) and
// hands the report to `print`, in pieces of whole lines. A root that is not
// a directory throws lexscan::NotAProjectRoot before anything is printed.
void compare(const std::string& root, const std::string& ast_out, const std::string& regex_out,
             const std::function<void(std::string_view)>& print, const Grammars& g = grammars());

// The command: treescan [--root R] [--out O] [--compare]. Returns the exit
// status. The grammars' warning is not its to print: the module prints it
// when it loads.
int command_main(int argc, char** argv);
// The native command: the grammars' warning, if any, then command_main.
int native_main(int argc, char** argv);

}  // namespace kestrune::treescan
