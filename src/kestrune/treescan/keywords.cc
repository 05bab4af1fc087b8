#include "kestrune/treescan/keywords.h"

#include "kestrune/base/regex.h"
#include "kestrune/lexscan/keywords.h"
#include "kestrune/lexscan/prefilter.h"

namespace kestrune::treescan {

std::vector<std::string> extract_keywords(std::string_view content, std::string_view ext) {
  static const re::Regex kGoFunc(R"(^func\s+(?:\([^)]+\)\s+)?([A-Za-z_]\w*)\s*\()", re::M);
  static const re::Regex kGoType(R"(^type\s+([A-Za-z_]\w*)\s+(?:struct|interface))", re::M);

  lexscan::Keywords kw;
  lexscan::add_route_keywords(kw, content);
  if (ext == ".ts" || ext == ".tsx" || ext == ".js" || ext == ".jsx") lexscan::add_export_keywords(kw, content);
  if (ext == ".py") lexscan::add_python_keywords(kw, content);
  if (ext == ".go") {
    for (const auto* pattern : {&kGoFunc, &kGoType}) {
      if (!lexscan::has(content, pattern == &kGoFunc ? "func" : "type")) continue;
      pattern->finditer(re::Valid(content), [&](const re::Match& m) {
        kw.add_name(m.group(1));
        return true;
      });
    }
  }
  return kw.take(80);
}

std::string make_summary(std::string_view content, std::string_view path, std::string_view ext) {
  // Names are taken from C# and XAML declarations only by the regex scanner;
  // with no extension the rules for description and domain are the same.
  const bool regex_only = ext == ".cs" || ext == ".xaml";
  return lexscan::make_summary(content, path, regex_only ? std::string_view() : ext);
}

}  // namespace kestrune::treescan
