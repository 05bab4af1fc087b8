#include "kestrune/br/imports.h"

#include <algorithm>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"

namespace kestrune::br {
namespace {

bool is_ident_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// The directory part of a "/"-separated id ("" at the root).
std::string_view dir_of(std::string_view id) {
  const size_t slash = id.rfind('/');
  return slash == id.npos ? std::string_view() : id.substr(0, slash);
}

// A dotted Python module name: identifiers joined by single dots.
bool is_module_name(std::string_view s) {
  if (s.empty() || s.front() == '.' || s.back() == '.') return false;
  char prev = '.';
  for (char c : s) {
    if (c == '.') {
      if (prev == '.') return false;
    } else if (!is_ident_byte(c) || c == '$' || (prev == '.' && c >= '0' && c <= '9')) {
      return false;
    }
    prev = c;
  }
  return true;
}

// The first word of `s` (up to white space).
std::string_view first_word(std::string_view s) {
  s = trim(s);
  size_t i = 0;
  while (i < s.size() && !is_space(s[i])) ++i;
  return s.substr(0, i);
}

// The quoted text starting at s[i] (a quote), or npos-size view when unterminated.
bool quoted_at(std::string_view s, size_t i, std::string_view& out, size_t& end) {
  const char q = s[i];
  const size_t close = s.find(q, i + 1);
  if (close == s.npos) return false;
  const std::string_view body = s.substr(i + 1, close - i - 1);
  if (body.empty() || body.find('\n') != body.npos) return false;
  out = body;
  end = close + 1;
  return true;
}

}  // namespace

std::vector<std::string> python_imports(std::string_view text) {
  std::vector<std::string> out;
  // The lines as splitting at "\n" gives them, one at a time.
  size_t pos = 0;
  auto next_line = [&](std::string_view& line) {
    if (pos > text.size()) return false;
    size_t eol = text.find('\n', pos);
    if (eol == text.npos) eol = text.size();
    line = text.substr(pos, eol - pos);
    pos = eol + 1;
    return true;
  };
  for (std::string_view raw;;) {
    // Both forms hold the word "import": the lines before the next one are
    // passed over in one search rather than line by line.
    const size_t at = pos < text.size() ? text.find("import", pos) : text.npos;
    if (at == text.npos) break;
    pos = at == 0 ? 0 : text.rfind('\n', at - 1) + 1;  // npos + 1 is 0: the first line
    next_line(raw);
    // Only a line that starts with "import" or "from" matters.
    size_t first = 0;
    while (first < raw.size() && is_space(raw[first])) ++first;
    if (first == raw.size() || (raw[first] != 'i' && raw[first] != 'f')) continue;
    std::string_view line = trim(raw);
    if (const size_t hash = line.find('#'); hash != line.npos) line = trim(line.substr(0, hash));
    if (line.starts_with("import ") || line.starts_with("import\t")) {
      for (std::string_view part : text::split(line.substr(7), ",")) {
        std::string_view name = first_word(part);
        if (is_module_name(name)) out.emplace_back(name);
      }
      continue;
    }
    if (!line.starts_with("from ") && !line.starts_with("from\t")) continue;
    std::string_view rest = trim(line.substr(5));
    size_t dots = 0;
    while (dots < rest.size() && rest[dots] == '.') ++dots;
    std::string_view module = first_word(rest);
    std::string_view after = trim(rest.substr(module.size()));
    if (!after.starts_with("import") || (after.size() > 6 && !is_space(after[6]) && after[6] != '('))
      continue;
    const std::string_view tail_module = module.substr(dots);
    if (!tail_module.empty() && !is_module_name(tail_module)) continue;
    out.emplace_back(module);
    // The imported names, possibly in parentheses over several lines.
    std::string names(trim(after.substr(6)));
    if (!names.empty() && names.front() == '(') {
      for (std::string_view more; names.find(')') == names.npos && next_line(more);) names.append(" ").append(more);
      names = names.substr(1, names.find(')') == names.npos ? names.npos : names.find(')') - 1);
    }
    for (std::string_view part : text::split(names, ",")) {
      std::string_view name = first_word(part);
      if (name.empty() || name == "*" || !is_module_name(name) || name.find('.') != name.npos) continue;
      std::string sub(module);
      if (!tail_module.empty()) sub += '.';
      sub += name;
      out.push_back(std::move(sub));
    }
  }
  return out;
}

std::vector<std::string> script_imports(std::string_view text) {
  std::vector<std::string> out;
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c != 'f' && c != 'i' && c != 'r') continue;
    if (i > 0 && (is_ident_byte(text[i - 1]) || text[i - 1] == '.')) continue;
    std::string_view word;
    for (std::string_view w : {"from", "import", "require"})
      if (text.compare(i, w.size(), w) == 0) word = w;
    if (word.empty()) continue;
    size_t j = i + word.size();
    if (j < n && is_ident_byte(text[j])) continue;
    while (j < n && is_space(text[j])) ++j;
    const bool call = j < n && text[j] == '(';
    if (call) {
      if (word == "from") continue;
      ++j;
      while (j < n && is_space(text[j])) ++j;
    } else if (word == "require") {
      continue;
    }
    if (j >= n || (text[j] != '\'' && text[j] != '"' && text[j] != '`')) continue;
    std::string_view spec;
    size_t end;
    if (!quoted_at(text, j, spec, end)) continue;
    if (spec.find("${") != spec.npos) continue;
    out.emplace_back(spec);
    i = end - 1;
  }
  return out;
}

std::vector<std::string> go_imports(std::string_view text) {
  std::vector<std::string> out;
  auto add_quoted = [&](std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] != '"' && s[i] != '`') continue;
      std::string_view spec;
      size_t end;
      if (!quoted_at(s, i, spec, end)) return;
      out.emplace_back(spec);
      i = end - 1;
    }
  };
  // Lines that start with "import": the word is searched for, and a hit
  // counts when only white space comes before it on its line.
  size_t pos = 0;
  for (size_t from = 0; pos < text.size(); from = pos) {
    const size_t at = text.find("import", from);
    if (at == text.npos) break;
    const size_t nl = text.rfind('\n', at);
    const size_t start = nl == text.npos ? 0 : nl + 1;
    if (!std::all_of(text.begin() + static_cast<long>(start), text.begin() + static_cast<long>(at), is_space)) {
      pos = at + 1;
      continue;
    }
    size_t eol = text.find('\n', at);
    if (eol == text.npos) eol = text.size();
    std::string_view line = trim(text.substr(start, eol - start));
    pos = eol + 1;
    std::string_view rest = line.substr(6);
    if (!rest.empty() && !is_space(rest.front()) && rest.front() != '(' && rest.front() != '"') continue;
    rest = trim(rest);
    if (!rest.starts_with("(")) {
      // import "x" or import name "x"; a comment may follow.
      if (const size_t c = rest.find("//"); c != rest.npos) rest = rest.substr(0, c);
      add_quoted(rest);
      continue;
    }
    // A block: up to the closing parenthesis, one spec per line.
    std::string_view block = rest.substr(1);
    for (;;) {
      std::string_view body = block;
      if (const size_t c = body.find("//"); c != body.npos) body = body.substr(0, c);
      const size_t close = body.find(')');
      add_quoted(close == body.npos ? body : body.substr(0, close));
      if (close != body.npos || pos >= text.size()) break;
      eol = text.find('\n', pos);
      if (eol == text.npos) eol = text.size();
      block = text.substr(pos, eol - pos);
      pos = eol + 1;
    }
  }
  return out;
}

ImportLang import_lang(std::string_view id) {
  const std::string ext = text::lower(fs::suffix(id));
  if (ext == ".py" || ext == ".pyi") return ImportLang::Python;
  if (ext == ".go") return ImportLang::Go;
  if (ext == ".ts" || ext == ".tsx" || ext == ".js" || ext == ".jsx" || ext == ".mjs" || ext == ".cjs" ||
      ext == ".mts" || ext == ".cts" || ext == ".vue" || ext == ".svelte")
    return ImportLang::Script;
  return ImportLang::None;
}

ImportResolver::ImportResolver(std::span<const std::string_view> file_ids, std::string go_module)
    : ids_(file_ids), go_module_(std::move(go_module)) {
  by_id_.reserve(ids_.size());
  for (uint32_t i = 0; i < ids_.size(); ++i) {
    const std::string_view id = ids_[i];
    by_id_.try_emplace(id, i);
    const ImportLang lang = import_lang(id);
    if (lang == ImportLang::Python) {
      std::string dotted(id.substr(0, id.rfind('.')));
      std::replace(dotted.begin(), dotted.end(), '/', '.');
      if (dotted == "__init__") continue;
      if (ends_with(dotted, ".__init__")) dotted.resize(dotted.size() - 9);
      // The full name, and every tail of two or more parts: a project may keep
      // its packages below src/ or lib/.
      py_modules_[dotted].push_back(i);
      for (size_t dot = dotted.find('.'); dot != dotted.npos; dot = dotted.find('.', dot + 1)) {
        std::string_view tail = std::string_view(dotted).substr(dot + 1);
        if (tail.find('.') != tail.npos) py_modules_[std::string(tail)].push_back(i);
      }
    } else if (lang == ImportLang::Go && !ends_with(id, "_test.go")) {
      const std::string_view dir = dir_of(id);
      go_dirs_[std::string(dir)].push_back(i);
    }
  }
  // Each tail of a package directory's path names the nearest such directory.
  for (const auto& entry : go_dirs_) {
    const std::string& dir = entry.first;
    for (size_t start = 0;;) {
      auto [it, added] = go_tails_.try_emplace(dir.substr(start), dir);
      const std::string& held = it->second;
      if (!added && (dir.size() < held.size() || (dir.size() == held.size() && dir < held))) it->second = dir;
      const size_t slash = dir.find('/', start);
      if (slash == dir.npos) break;
      start = slash + 1;
    }
  }
}

bool ImportResolver::add_file(std::string_view id, std::vector<uint32_t>& out) const {
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return false;
  out.push_back(it->second);
  return true;
}

void ImportResolver::resolve_python(uint32_t from, std::string_view spec, std::vector<uint32_t>& out) const {
  size_t dots = 0;
  while (dots < spec.size() && spec[dots] == '.') ++dots;
  std::string name;
  bool exact = false;  // relative names must match a whole module path
  if (dots > 0) {
    std::vector<std::string_view> package = text::split(dir_of(ids_[from]), "/");
    if (package.size() == 1 && package[0].empty()) package.clear();
    if (dots - 1 > package.size()) return;
    package.resize(package.size() - (dots - 1));
    name = text::join(package, ".");
    if (spec.size() > dots) name.append(name.empty() ? "" : ".").append(spec.substr(dots));
    if (name.empty()) return;
    exact = true;
  } else {
    name = spec;
  }
  auto it = py_modules_.find(name);
  if (it == py_modules_.end()) return;
  // The module whose whole path is the name wins; otherwise the one nearest the root.
  uint32_t best = UINT32_MAX;
  for (uint32_t f : it->second) {
    std::string dotted(ids_[f].substr(0, ids_[f].rfind('.')));
    std::replace(dotted.begin(), dotted.end(), '/', '.');
    if (ends_with(dotted, ".__init__")) dotted.resize(dotted.size() - 9);
    if (dotted == name) {
      best = f;
      break;
    }
    if (!exact && (best == UINT32_MAX || ids_[f].size() < ids_[best].size())) best = f;
  }
  if (best != UINT32_MAX) out.push_back(best);
}

void ImportResolver::resolve_script(uint32_t from, std::string_view spec, std::vector<uint32_t>& out) const {
  std::vector<std::string> bases;
  if (spec.starts_with("./") || spec.starts_with("../") || spec == "." || spec == "..") {
    std::string joined(dir_of(ids_[from]));
    joined += joined.empty() ? "" : "/";
    joined += spec;
    std::string norm = fs::normpath(joined);
    if (norm.starts_with("../") || norm == "..") return;
    bases.push_back(norm == "." ? "" : norm);
  } else {
    std::string_view rest = spec;
    if (rest.starts_with("@/") || rest.starts_with("~/")) rest.remove_prefix(2);
    else if (rest.starts_with("/")) rest.remove_prefix(1);
    else if (rest.find('/') == rest.npos) return;  // a package or a built-in module
    std::string norm = fs::normpath(rest);
    if (norm.starts_with("..")) return;
    bases.push_back(norm);
    bases.push_back(std::string("src/").append(norm));
  }
  static constexpr std::string_view kExts[] = {".ts", ".tsx", ".js", ".jsx", ".mjs", ".cjs", ".mts", ".cts", ".d.ts", ".json", ".vue", ".svelte"};
  for (const std::string& base : bases) {
    if (!base.empty() && add_file(base, out)) return;
    // ESM TypeScript names its imports by their compiled name: "./x.js" is x.ts.
    for (std::string_view js : {".js", ".jsx", ".mjs", ".cjs"}) {
      if (!ends_with(base, js)) continue;
      const std::string stem = base.substr(0, base.size() - js.size());
      for (std::string_view ts : {".ts", ".tsx", ".mts", ".cts", ".d.ts"})
        if (add_file(stem + std::string(ts), out)) return;
    }
    for (std::string_view ext : kExts)
      if (!base.empty() && add_file(base + std::string(ext), out)) return;
    for (std::string_view ext : kExts)
      if (add_file(std::string(base).append(base.empty() ? "index" : "/index").append(ext), out)) return;
  }
}

void ImportResolver::resolve_go(std::string_view path, std::vector<uint32_t>& out) const {
  auto take = [&](const std::string& dir) {
    auto it = go_dirs_.find(dir);
    if (it == go_dirs_.end()) return false;
    out.insert(out.end(), it->second.begin(), it->second.end());
    return true;
  };
  if (!go_module_.empty()) {
    if (path == go_module_) {
      take("");
      return;
    }
    if (path.starts_with(go_module_) && path.size() > go_module_.size() && path[go_module_.size()] == '/') {
      take(std::string(path.substr(go_module_.size() + 1)));
      return;
    }
  }
  // Without the module path: the longest tail of the import path that names a
  // package directory (its own path, or the tail of it). A one-part tail only
  // counts for paths without a host name ("fmt", "net/http"): in
  // "github.com/x/errors" it would be a guess.
  std::vector<std::string_view> parts = text::split(path, "/");
  const bool hosted = parts.size() > 1 && parts[0].find('.') != std::string_view::npos;
  for (size_t k = parts.size(); k >= 1; --k) {
    if (k == 1 && hosted) break;
    std::vector<std::string_view> tail_parts(parts.end() - static_cast<long>(k), parts.end());
    auto it = go_tails_.find(text::join(tail_parts, "/"));
    if (it != go_tails_.end()) {
      take(it->second);
      return;
    }
  }
}

std::vector<std::string> ImportResolver::specifiers(uint32_t from, std::string_view text) const {
  switch (import_lang(ids_[from])) {
    case ImportLang::Python:
      return python_imports(text);
    case ImportLang::Script:
      return script_imports(text);
    case ImportLang::Go:
      return go_imports(text);
    case ImportLang::None:
      break;
  }
  return {};
}

std::vector<uint32_t> ImportResolver::resolve(uint32_t from, std::span<const std::string_view> specs) const {
  std::vector<uint32_t> out;
  const ImportLang lang = import_lang(ids_[from]);
  for (std::string_view spec : specs) {
    if (lang == ImportLang::Python) resolve_python(from, spec, out);
    else if (lang == ImportLang::Script) resolve_script(from, spec, out);
    else if (lang == ImportLang::Go) resolve_go(spec, out);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  std::erase(out, from);
  return out;
}

std::vector<uint32_t> ImportResolver::resolve(uint32_t from, std::string_view text) const {
  const std::vector<std::string> specs = specifiers(from, text);
  const std::vector<std::string_view> views(specs.begin(), specs.end());
  return resolve(from, views);
}

}  // namespace kestrune::br
