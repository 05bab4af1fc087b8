#include "kestrune/lexscan/keywords.h"

#include <algorithm>
#include <unordered_set>

#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/prefilter.h"

namespace kestrune::lexscan {

namespace {

bool is_script(std::string_view ext) {
  return ext == ".ts" || ext == ".tsx" || ext == ".js" || ext == ".jsx";
}

// Every character of `chars` (ASCII) removed from `s`.
std::string without(std::string_view s, std::string_view chars) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s)
    if (chars.find(ch) == std::string_view::npos) out += ch;
  return out;
}

// " ".join(s.split())
std::string collapse_whitespace(std::string_view s) { return text::join(text::split(s), " "); }

void add_route(Keywords& kw, const re::Match& m) {
  kw.add(text::upper(m.group(1)));
  for (auto segment : text::split(text::strip(m.group(2), "/"), "/")) {
    std::string cleaned = without(segment, "{}:<>");
    if (!cleaned.empty()) kw.add(cleaned);
  }
}

void each(const re::Regex& re, std::string_view s, const std::function<void(const re::Match&)>& f) {
  re.finditer(re::Valid(s), [&](const re::Match& m) {
    f(m);
    return true;
  });
}

// C# declarations start with their access keyword.
void each_cs(const re::Regex& re, std::string_view s, const std::function<void(const re::Match&)>& f) {
  finditer_near(re, s, {"public", "private", "protected", "internal"}, at_literal, [&](const re::Match& m) {
    f(m);
    return true;
  });
}

}  // namespace

void Keywords::add(std::string_view word) {
  std::string lowered = text::lower(word);
  std::string_view w = text::strip(lowered, "_");
  if (text::length(w) < 3 || seen_.contains(std::string(w))) return;
  seen_.emplace(w);
  tokens_.emplace_back(w);
}

void Keywords::add_name(std::string_view name) {
  add(name);
  for (const auto& w : split_camel(name)) add(w);
}

std::vector<std::string> Keywords::take(size_t limit) {
  if (tokens_.size() > limit) tokens_.resize(limit);
  return std::move(tokens_);
}

void add_route_keywords(Keywords& kw, std::string_view content) {
  static const re::Regex kRoute(
      R"re((?:app|router|r|mux|api)\s*[.\@]\s*(get|post|put|delete|patch|handle|handlefunc)\s*\(\s*['"/]([^'")\s]+))re",
      re::I);
  // The pattern ends in a call with a string literal: few texts hold one after such a name.
  if (literal_call(content, "'\"/", {"get", "post", "put", "delete", "patch", "handle", "handlefunc"}, ".@"))
    each(kRoute, content, [&](const re::Match& m) { add_route(kw, m); });
}

void add_export_keywords(Keywords& kw, std::string_view content) {
  static const re::Regex kExport(
      R"(export\s+(?:default\s+)?(?:async\s+)?(?:function|class|const|type|interface|enum)\s+([A-Za-z_]\w*))");
  static const re::Regex kExportList(R"(export\s*\{([^}]+)\})");
  static const re::Regex kListSep(R"([,\s]+)");
  if (!has(content, "export")) return;
  each(kExport, content, [&](const re::Match& m) { kw.add_name(m.group(1)); });
  each(kExportList, content, [&](const re::Match& m) {
    for (const auto& piece : kListSep.split_plain(m.group(1))) {
      std::string_view name = text::strip(piece);
      if (!name.empty()) kw.add_name(name);
    }
  });
}

void add_python_keywords(Keywords& kw, std::string_view content) {
  static const re::Regex kPyDecl(R"(^(?:async\s+)?def\s+([A-Za-z_]\w*)|^class\s+([A-Za-z_]\w*))", re::M);
  if (!has(content, "def") && !has(content, "class")) return;
  each(kPyDecl, content, [&](const re::Match& m) {
    std::string_view name = m.matched(1) ? m.group(1) : m.group(2);
    if (name.empty() || text::starts_with(name, "_")) return;
    kw.add_name(name);
    for (auto piece : text::split(name, "_")) kw.add(piece);
  });
}

std::vector<std::string> split_camel(std::string_view name) {
  static const re::Regex kLowerUpper("([a-z0-9])([A-Z])");
  static const re::Regex kAcronym("([A-Z]+)([A-Z][a-z])");
  std::string spaced = kAcronym.sub(R"(\1 \2)", kLowerUpper.sub(R"(\1 \2)", name));
  std::vector<std::string> words;
  for (auto piece : text::split(spaced))
    if (text::length(piece) >= 3) words.push_back(text::lower(piece));
  return words;
}

std::vector<std::string> name_keywords(std::string_view name) {
  Keywords kw;
  kw.add(name);
  for (const auto& w : split_camel(name)) kw.add(w);
  for (auto piece : text::split(name, "_")) kw.add(piece);
  return kw.take(10);
}

std::vector<std::string> extract_keywords(std::string_view content, std::string_view ext) {
  static const re::Regex kDecoratorRoute(R"re(@\w+\.(get|post|put|delete|patch)\s*\(\s*[\'"]([^\'"]+)[\'"])re",
                                         re::I);
  static const re::Regex kGoFunc(R"(^func\s+(?:\([^)]+\)\s+)?([A-Z]\w*))", re::M);
  static const re::Regex kSwiftType(
      R"(^(?:public\s+|private\s+|internal\s+|open\s+|final\s+)*(?:class|struct|enum|protocol|actor|extension)\s+([A-Za-z_]\w*))",
      re::M);
  static const re::Regex kSwiftFunc(
      R"(^(?:\s*)(?:public\s+|private\s+|internal\s+|open\s+|static\s+|class\s+|mutating\s+|override\s+)*func\s+([A-Za-z_]\w*))",
      re::M);
  static const re::Regex kCsType(
      R"((?:public|private|protected|internal)\s+(?:(?:static|abstract|sealed|partial|new|override|virtual|extern|unsafe)\s+)*(?:class|interface|enum|struct|record)\s+([A-Za-z_]\w*))");
  static const re::Regex kCsMethod(
      R"((?:public|private|protected|internal)\s+(?:static\s+)?(?:async\s+)?(?:virtual\s+|override\s+)?(?!class|if|for|while|return)[\w<>\[\]?]+\s+([A-Za-z_]\w*)\s*\()");
  static const re::Regex kXamlClass(R"re(x:Class="[\w.]*\.([A-Za-z_]\w*)")re");
  static const re::Regex kXamlName(R"re(x:Name="([A-Za-z_]\w*)")re");
  static const re::Regex kDocstring(R"re(\s*"""([^"]{10,200}))re");
  static const re::Regex kBlockComment(R"(\s*/\*\*?\s*([^\n*]{10,200}))");
  static const re::Regex kLongWord("[a-zA-Z]{4,}");
  static const re::Regex kHttpCall(
      R"re((?:fetch|axios\.(?:get|post|put|delete)|requests\.(?:get|post|put|delete))\s*\(\s*[`'"](https?://[^`'"]+|/[^`'"]+)[`'"])re",
      re::I);

  Keywords kw;
  auto add_name_of = [&](int group) { return [&kw, group](const re::Match& m) { kw.add_name(m.group(group)); }; };

  add_route_keywords(kw, content);
  if (has(content, "@")) each(kDecoratorRoute, content, [&](const re::Match& m) { add_route(kw, m); });
  if (is_script(ext)) add_export_keywords(kw, content);
  if (ext == ".py") add_python_keywords(kw, content);
  if (ext == ".go" && has(content, "func")) each(kGoFunc, content, add_name_of(1));
  if (ext == ".swift") {
    each(kSwiftType, content, add_name_of(1));
    each(kSwiftFunc, content, add_name_of(1));
  }
  if (ext == ".cs") {
    each_cs(kCsType, content, add_name_of(1));
    each_cs(kCsMethod, content, add_name_of(1));
  }
  if (ext == ".xaml") {
    each(kXamlClass, content, add_name_of(1));
    each(kXamlName, content, add_name_of(1));
  }
  for (const re::Regex* lead : {&kDocstring, &kBlockComment})
    if (auto m = leads_with(content, lead == &kDocstring ? "\"\"\"" : "/*") ? lead->match(re::Valid(content)) : std::nullopt)
      each(kLongWord, m->group(1), [&](const re::Match& w) { kw.add(w.group()); });
  if (literal_call(content, "`'\"", {"fetch", ".get", ".post", ".put", ".delete"}))
    each(kHttpCall, content, [&](const re::Match& m) {
      std::string url = text::replace(text::replace(m.group(1), "http://", ""), "https://", "");
      for (auto segment : text::split(text::strip(url, "/"), "/")) {
        std::string cleaned = without(segment, "{}?=&<>");
        std::string_view head = std::string_view(cleaned).substr(0, cleaned.find('.'));
        if (text::length(head) >= 3) kw.add(head);
      }
    });
  return kw.take(80);
}

namespace {

// The description a leading doc comment gives: a Python module docstring, or
// the first block comment of a script; "" when there is none.
std::string doc_comment_description(std::string_view content, std::string_view ext) {
  static const re::Regex kPyDoc(R"re(^\s*(?:\'\'\'|""")([^\'\"]{8,200}?)(?:\'\'\'|"""))re", re::S);
  static const re::Regex kBlockComment(R"(\s*/\*\*?\s*(.*?)\*/)", re::S);
  if (ext == ".py") {
    if (auto m = leads_with(content, "\"\"\"") || leads_with(content, "'''") ? kPyDoc.search(re::Valid(content))
                                                                              : std::nullopt)
      return std::string(text::head(collapse_whitespace(m->group(1)), 120));
  } else if (is_script(ext)) {
    if (auto m = leads_with(content, "/*") ? kBlockComment.match(re::Valid(content)) : std::nullopt)
      return std::string(text::head(collapse_whitespace(text::replace(m->group(1), "*", "")), 120));
  }
  return std::string();
}

// The first of the first five lines that reads as a description once comment
// marks are taken off; "" when none does.
std::string first_line_description(std::string_view content) {
  // Five lines are read. A head holding more than five lines has the first
  // five whole: the break after the fifth is in it.
  std::vector<std::string_view> lines;
  for (size_t chars : {size_t{256}, size_t{2048}, content.size()}) {
    std::string_view head = text::head(content, chars);
    lines = text::splitlines(head);
    if (lines.size() > 5 || head.size() == content.size()) break;
  }
  for (size_t i = 0; i < lines.size() && i < 5; ++i) {
    std::string_view s = text::strip(text::lstrip(text::lstrip(text::strip(lines[i]), "#"), "/"));
    if (text::length(s) >= 10) return std::string(text::head(s, 120));
  }
  return std::string();
}

// Up to five distinct declared names, in text order.
std::vector<std::string> declared_names(std::string_view content, std::string_view ext) {
  static const re::Regex kPyDecl(R"(^(?:async\s+)?def\s+([A-Za-z_]\w*)|^class\s+([A-Za-z_]\w*))", re::M);
  static const re::Regex kScriptDecl(
      R"((?:export\s+)?(?:async\s+)?function\s+([A-Za-z_]\w*)|(?:export\s+)?class\s+([A-Za-z_]\w*))", re::M);
  static const re::Regex kCsDecl(R"((?:class|interface|enum|struct|record)\s+([A-Za-z_]\w*))");
  static const re::Regex kXamlClass(R"re(x:Class="[\w.]*\.([A-Za-z_]\w*)")re");
  static const re::Regex kXamlName(R"re(x:Name="([A-Za-z_]\w*)")re");

  std::vector<std::string> names;
  auto add_name = [&](std::string_view name) {
    if (names.size() < 5 && std::find(names.begin(), names.end(), name) == names.end())
      names.emplace_back(name);
    return names.size() < 5;  // keep scanning until five are found
  };
  if (ext == ".py" && (has(content, "def") || has(content, "class"))) {
    kPyDecl.finditer(re::Valid(content), [&](const re::Match& m) {
      std::string_view name = m.matched(1) ? m.group(1) : m.group(2);
      if (name.empty() || text::starts_with(name, "_")) return true;
      return add_name(name);
    });
  } else if (is_script(ext) && (has(content, "function") || has(content, "class"))) {
    finditer_near(kScriptDecl, content, {"function", "class"}, script_declaration_start, [&](const re::Match& m) {
      std::string_view name = m.matched(1) ? m.group(1) : m.group(2);
      return name.empty() ? true : add_name(name);
    });
  } else if (ext == ".cs") {
    finditer_near(kCsDecl, content, {"class", "interface", "enum", "struct", "record"}, at_literal,
                  [&](const re::Match& m) { return add_name(m.group(1)); });
  } else if (ext == ".xaml") {
    if (auto m = kXamlClass.search(re::Valid(content))) add_name(m->group(1));
    if (names.size() < 5) kXamlName.finditer(re::Valid(content), [&](const re::Match& m) { return add_name(m.group(1)); });
  }
  return names;
}

// What the file's path says it handles: its last two telling pieces ("src",
// "lib" and the like tell nothing) as words, without the extension.
std::string path_domain(std::string_view path) {
  static const re::Regex kPathSep(R"([/\\])");
  static const re::Regex kTrailingExt(R"(\.\w+$)");
  std::vector<std::string> parts;
  for (auto& piece : kPathSep.split_plain(path))
    if (!piece.empty() && piece != ".") parts.push_back(std::move(piece));
  std::vector<std::string> domain_parts;
  for (const auto& p : parts) {
    std::string low = text::lower(p);
    if (low != "src" && low != "lib" && low != "app" && low != "pkg" && low != "main" && low != "index")
      domain_parts.push_back(p);
  }
  std::string domain;
  if (!domain_parts.empty()) {
    size_t from = domain_parts.size() >= 2 ? domain_parts.size() - 2 : 0;
    std::vector<std::string> last(domain_parts.begin() + static_cast<std::ptrdiff_t>(from), domain_parts.end());
    domain = text::replace(text::replace(text::join(last, " "), "_", " "), "-", " ");
  } else if (!parts.empty()) {
    domain = parts.back();
  }
  return std::string(text::strip(kTrailingExt.sub("", domain)));
}

// "Contains <n> function: a." or "Contains <n> functions/classes: a, b, c, d, ...."
std::string names_sentence(const std::vector<std::string>& names) {
  std::vector<std::string> shown(names.begin(),
                                 names.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(4, names.size())));
  std::string names_str = text::join(shown, ", ");
  if (names.size() > 4) names_str += ", ...";
  return "Contains " + std::to_string(names.size()) + " " + (names.size() == 1 ? "function" : "functions/classes") +
         ": " + names_str + ".";
}

}  // namespace

std::string make_summary(std::string_view content, std::string_view path, std::string_view ext) {
  std::string lead = doc_comment_description(content, ext);
  if (lead.empty()) lead = first_line_description(content);
  std::vector<std::string> sentences;
  if (!lead.empty()) {
    sentences.push_back(std::string(text::rstrip(lead, ".")) + ".");
  } else if (std::string domain = path_domain(path); !domain.empty()) {
    sentences.push_back("Handles " + domain + ".");
  }
  if (std::vector<std::string> names = declared_names(content, ext); !names.empty())
    sentences.push_back(names_sentence(names));
  return std::string(text::head(text::join(sentences, " "), 250));
}

}  // namespace kestrune::lexscan
