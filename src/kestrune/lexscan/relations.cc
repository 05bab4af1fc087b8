#include "kestrune/lexscan/relations.h"

#include "kestrune/base/fs.h"
#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/prefilter.h"
#include "kestrune/lexscan/walk.h"

namespace kestrune::lexscan {

namespace {

bool mention_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '/';
}

// Length of the first extension alternative that `s` starts with, else 0.
// First wins, as in the regex: "ts" shadows "tsx", "js" shadows "json".
size_t mention_ext(std::string_view s) {
  static constexpr std::string_view kExts[] = {"go", "py",  "ts", "tsx",  "js",  "jsx",
                                               "swift", "md", "json", "yaml", "yml"};
  for (std::string_view e : kExts)
    if (s.starts_with(e)) return e.size();
  return 0;
}

}  // namespace

// The name part cannot hold a ".", so a match from any start inside a run of
// name characters ends at the run's end: the run is followed by "." and an
// extension, or no match starts inside it. The leftmost match thus ends at the
// first such "." with a name character before it, and starts where that run
// does (or at the search position, inside a run); the next search resumes
// right after the extension, as the regex's does.
std::vector<std::string_view> file_mentions(std::string_view text) {
  std::vector<std::string_view> found;
  size_t pos = 0;
  for (size_t dot = text.find('.'); dot != std::string_view::npos; dot = text.find('.', dot + 1)) {
    if (dot == pos || !mention_char(text[dot - 1])) continue;
    const size_t ext = mention_ext(text.substr(dot + 1));
    if (ext == 0) continue;
    size_t start = dot - 1;
    while (start > pos && mention_char(text[start - 1])) --start;
    found.push_back(text.substr(start, dot + 1 + ext - start));
    pos = dot + 1 + ext;
    dot = pos - 1;
  }
  return found;
}

namespace {

auto edge_to(std::vector<Edge>& edges, const std::string& from_id, const char* rel) {
  return [&edges, &from_id, rel](const re::Match& m) {
    edges.push_back({from_id, std::string(m.group(1)), rel});
    return true;
  };
}

}  // namespace

void import_relations(std::string_view text, const std::string& from_id, std::vector<Edge>& edges) {
  static const re::Regex kGoImport(R"re(import\s+\(?\s*"([^"]+)")re");
  static const re::Regex kEsImport(R"re(import\s+.*?\s+from\s+[\'"]([^\'"]+)[\'"])re");
  static const re::Regex kRequire(R"re(require\([\'"]([^\'"]+)[\'"]\))re");
  static const re::Regex kPyImport(R"(^\s*import\s+([a-zA-Z0-9_\.]+))", re::M);
  static const re::Regex kPyFrom(R"(^\s*from\s+([a-zA-Z0-9_\.]+)\s+import\s+)", re::M);

  auto each = [&](const re::Regex& re, const char* rel) { re.finditer(re::Valid(text), edge_to(edges, from_id, rel)); };
  const bool imports = has(text, "import");
  const bool from = has(text, "from");
  if (imports) {
    each(kGoImport, "imports");
    if (from) each(kEsImport, "imports");
  }
  if (has(text, "require(")) each(kRequire, "requires");
  if (imports) finditer_near(kPyImport, text, {"import"}, after_space, edge_to(edges, from_id, "imports"));
  if (from) finditer_near(kPyFrom, text, {"from"}, after_space, edge_to(edges, from_id, "imports"));
}

std::vector<Edge> relations_of(std::string_view text, const std::string& from_id, std::string_view ext) {
  static const re::Regex kSwiftImport(R"(^import\s+([A-Za-z_]\w*))", re::M);
  static const re::Regex kUsing(R"(^using\s+([\w.]+))", re::M);
  static const re::Regex kXamlClass(R"re(x:Class="([\w.]+)")re");

  std::vector<Edge> edges;
  import_relations(text, from_id, edges);
  auto each = [&](const re::Regex& re, const char* rel) { re.finditer(re::Valid(text), edge_to(edges, from_id, rel)); };
  if (ext == ".swift" && has(text, "import")) each(kSwiftImport, "imports");
  if (ext == ".cs" && has(text, "using")) each(kUsing, "imports");
  if (ext == ".xaml")
    if (auto m = kXamlClass.search(re::Valid(text))) edges.push_back({from_id, std::string(m->group(1)), "references"});
  // Only mentions with a directory part become edges.
  if (has(text, "/"))
    for (std::string_view path : file_mentions(text))
      if (path.find('/') != std::string_view::npos) edges.push_back({from_id, std::string(path), "references"});
  return edges;
}

std::vector<Edge> parse_relations(std::string_view path, std::string_view text, std::string_view root) {
  return relations_of(text, rel(path, root), fs::suffix(path));
}

}  // namespace kestrune::lexscan
