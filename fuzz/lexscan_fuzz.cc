// Per-file extraction over arbitrary bytes: decoded as a scan decodes a file,
// then every extractor, the relation parser, keywords and the summary.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kestrune/base/text.h"
#include "kestrune/lexscan/keywords.h"
#include "kestrune/lexscan/relations.h"
#include "kestrune/lexscan/symbols.h"

using namespace kestrune;
using namespace kestrune::lexscan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = text::universal_newlines(
      text::decode(std::string_view(reinterpret_cast<const char*>(data), size), text::Errors::Drop));
  std::string_view cut = text::head(text, 24000);
  static const char* kExts[] = {".ts", ".tsx", ".js", ".jsx", ".py", ".php", ".cs", ".go", ".swift", ".xaml", ".md"};
  for (const char* ext : kExts) {
    for (const Symbol& s : symbols_for_file(cut, "f", ext)) {
      if (s.body_hash.size() != 8 || s.id != "f::" + s.name || s.name.empty()) std::abort();
      for (const auto& k : s.keywords)
        if (text::length(k) < 3) std::abort();
    }
    if (extract_keywords(cut, ext).size() > 80) std::abort();
    if (text::length(make_summary(cut, "dir/file", ext)) > 250) std::abort();
    relations_of(cut, "f", ext);
  }
  return 0;
}
