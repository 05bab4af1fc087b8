// Per-file extraction from syntax trees over arbitrary bytes: decoded as a
// scan decodes a file, then parsed with every grammar and walked for symbols
// and imports, with the rest of what a scan computes for a file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kestrune/base/text.h"
#include "kestrune/treescan/keywords.h"
#include "kestrune/treescan/peers.h"
#include "kestrune/treescan/treescan.h"

using namespace kestrune;
using namespace kestrune::treescan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Grammars g = [] {
    const char* dir = std::getenv("KESTRUNE_GRAMMARS");
    return load_grammars(dir && *dir ? dir : KESTRUNE_GRAMMAR_DIR);
  }();
  if (!g.ast_available || !g.go) std::abort();  // the fuzzer must reach the trees
  std::string text = text::universal_newlines(
      text::decode(std::string_view(reinterpret_cast<const char*>(data), size), text::Errors::Drop));
  static const char* kExts[] = {".ts", ".tsx", ".js", ".py", ".go", ".md"};
  for (const char* ext : kExts) {
    for (const Symbol& s : extract_symbols(text, "f", ext, g))
      if (s.body_hash.size() != 8 || s.id != "f::" + s.name || s.line_end < s.line_start) std::abort();
    for (const Edge& e : extract_imports(text, "f", ext, g))
      if (e.from != "f") std::abort();
    if (extract_keywords(text, ext).size() > 80) std::abort();
    if (text::length(make_summary(text, "dir/file", ext)) > 250) std::abort();
  }
  structural_peer_edges({"a/" + text.substr(0, 40) + ".ts", "a/routes.ts", "a/middleware.ts"});
  return 0;
}
