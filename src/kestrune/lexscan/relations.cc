#include "kestrune/lexscan/relations.h"

#include "kestrune/base/fs.h"
#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/prefilter.h"
#include "kestrune/lexscan/walk.h"

namespace kestrune::lexscan {

std::vector<Edge> relations_of(std::string_view text, const std::string& from_id, std::string_view ext) {
  static const re::Regex kGoImport(R"re(import\s+\(?\s*"([^"]+)")re");
  static const re::Regex kEsImport(R"re(import\s+.*?\s+from\s+[\'"]([^\'"]+)[\'"])re");
  static const re::Regex kRequire(R"re(require\([\'"]([^\'"]+)[\'"]\))re");
  static const re::Regex kPyImport(R"(^\s*import\s+([a-zA-Z0-9_\.]+))", re::M);
  static const re::Regex kPyFrom(R"(^\s*from\s+([a-zA-Z0-9_\.]+)\s+import\s+)", re::M);
  static const re::Regex kSwiftImport(R"(^import\s+([A-Za-z_]\w*))", re::M);
  static const re::Regex kUsing(R"(^using\s+([\w.]+))", re::M);
  static const re::Regex kXamlClass(R"re(x:Class="([\w.]+)")re");
  static const re::Regex kMention(R"(([A-Za-z0-9_\-\/]+\.(go|py|ts|tsx|js|jsx|swift|md|json|yaml|yml)))");

  std::vector<Edge> edges;
  auto each = [&](const re::Regex& re, const char* rel) {
    re.finditer(re::Valid(text), [&](const re::Match& m) {
      edges.push_back({from_id, std::string(m.group(1)), rel});
      return true;
    });
  };
  const bool imports = has(text, "import");
  if (imports) {
    each(kGoImport, "imports");
    if (has(text, "from")) each(kEsImport, "imports");
  }
  if (has(text, "require(")) each(kRequire, "requires");
  if (imports) each(kPyImport, "imports");
  if (has(text, "from")) each(kPyFrom, "imports");
  if (ext == ".swift" && imports) each(kSwiftImport, "imports");
  if (ext == ".cs" && has(text, "using")) each(kUsing, "imports");
  if (ext == ".xaml")
    if (auto m = kXamlClass.search(re::Valid(text))) edges.push_back({from_id, std::string(m->group(1)), "references"});
  // Only mentions with a directory part become edges.
  if (has(text, "/")) kMention.finditer(re::Valid(text), [&](const re::Match& m) {
    if (m.group(1).find('/') != std::string_view::npos)
      edges.push_back({from_id, std::string(m.group(1)), "references"});
    return true;
  });
  return edges;
}

std::vector<Edge> parse_relations(std::string_view path, std::string_view text, std::string_view root) {
  return relations_of(text, rel(path, root), fs::suffix(path));
}

}  // namespace kestrune::lexscan
