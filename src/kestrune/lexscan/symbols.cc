#include "kestrune/lexscan/symbols.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <unordered_set>

#include "kestrune/base/md5.h"
#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/keywords.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/prefilter.h"

namespace kestrune::lexscan {

namespace {

// Line index of byte offsets met in increasing order: counts line feeds once.
class LineCounter {
 public:
  explicit LineCounter(std::string_view s) : s_(s) {}
  long long at(size_t offset) {
    if (offset < pos_) pos_ = 0, line_ = 0;
    line_ += std::count(s_.begin() + static_cast<std::ptrdiff_t>(pos_),
                        s_.begin() + static_cast<std::ptrdiff_t>(offset), '\n');
    pos_ = offset;
    return line_;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
  long long line_ = 0;
};

// lines[i] with Python's negative indices; out of range is an IndexError.
std::string_view line_at(const Lines& lines, long long i) {
  long long n = static_cast<long long>(lines.size());
  long long k = i < 0 ? i + n : i;
  if (k < 0 || k >= n) throw std::out_of_range("list index out of range");
  return lines[static_cast<size_t>(k)];
}

size_t indent_of(std::string_view line) { return text::length(line) - text::length(text::lstrip(line)); }

// "public" within the first 20 characters from `start`.
bool public_near(std::string_view content, size_t start) {
  return text::contains(text::head(content.substr(start), 20), "public");
}

// What every extractor shares: the lines, the names taken, the result.
class Collector {
 public:
  Collector(std::string_view content, std::string_view file_path) : content_(content), file_path_(file_path) {}

  // Split on first use: most files declare nothing.
  const Lines& lines() {
    if (!split_) lines_ = text::splitlines(content_), split_ = true;
    return lines_;
  }
  // Takes `name` unless empty or taken already.
  bool claim(std::string_view name) {
    if (name.empty()) return false;
    return seen_.emplace(name).second;
  }
  void add(std::string_view name, long long line_start, long long line_end, const char* type,
           const char* confidence, bool exported) {
    Symbol s;
    s.id.reserve(file_path_.size() + 2 + name.size());
    s.id.append(file_path_).append("::").append(name);
    s.name = name;
    s.symbol_type = type;
    s.line_start = line_start;
    s.line_end = line_end;
    s.body_hash = body_hash(lines(), line_start, line_end);
    s.confidence = confidence;
    s.exported = exported;
    s.keywords = name_keywords(name);
    out_.push_back(std::move(s));
  }
  std::vector<Symbol> take() { return std::move(out_); }

 private:
  std::string_view content_;
  bool split_ = false;
  Lines lines_;
  std::string_view file_path_;
  std::unordered_set<std::string_view> seen_;
  std::vector<Symbol> out_;
};

}  // namespace

std::string body_hash(const Lines& lines, long long start, long long end) {
  // lines[start:end + 1] with Python's slice clamping.
  long long n = static_cast<long long>(lines.size());
  auto clamp = [n](long long i) { return i < 0 ? std::max(0LL, i + n) : std::min(i, n); };
  long long a = clamp(start), b = clamp(end + 1);
  std::string joined;
  for (long long i = a; i < b; ++i) {
    if (i > a) joined += '\n';
    joined.append(lines[static_cast<size_t>(i)]);
  }
  return md5_hex(joined).substr(0, 8);
}

long long find_block_end_ts(const Lines& lines, long long start) {
  long long n = static_cast<long long>(lines.size());
  long long depth = 0;
  bool found_open = false;
  long long limit = std::min(n, start + 400);
  for (long long i = start; i < limit; ++i) {
    std::string_view line = line_at(lines, i);
    long long opens = static_cast<long long>(text::count(line, "{") - text::count(line, "\\{"));
    long long closes = static_cast<long long>(text::count(line, "}") - text::count(line, "\\}"));
    depth += opens - closes;
    if (opens > 0) found_open = true;
    if (found_open && depth <= 0) return i;
  }
  return std::min(n - 1, start + 100);
}

long long find_block_end_py(const Lines& lines, long long start) {
  static const re::Regex kDef(R"(\s*(?:async\s+)?def\s+|class\s+|@)");
  long long n = static_cast<long long>(lines.size());
  if (start + 1 >= n) return start;
  size_t base_indent = indent_of(line_at(lines, start));
  long long last = start;
  for (long long i = start + 1; i < n; ++i) {
    std::string_view line = line_at(lines, i);
    if (text::strip(line).empty()) continue;
    if (indent_of(line) <= base_indent && kDef.match(re::Valid(line))) return last;
    last = i;
  }
  return last;
}

std::pair<std::string, std::string> classify_ts(std::string_view name, bool exported) {
  static const re::Regex kMethod("^(GET|POST|PUT|PATCH|DELETE|HEAD|OPTIONS)$");
  if (kMethod.search(re::Valid(name))) return {"api_route", "high"};
  if (text::starts_with(name, "use") && text::length(name) > 3) {
    size_t i = 3;
    if (text::isupper(text::next(name, i))) return {"hook", "high"};
  }
  if (!exported) return {"utility", "medium"};
  size_t i = 0;
  if (!name.empty() && text::isupper(text::next(name, i))) return {"use_case", "medium"};
  return {"use_case", "high"};
}

std::vector<Symbol> symbols_ts(std::string_view content, std::string_view file_path) {
  static const re::Regex kRoute(
      R"(^export\s+(?:async\s+)?function\s+(GET|POST|PUT|PATCH|DELETE|HEAD|OPTIONS)\s*[\(<])", re::M);
  static const re::Regex kFunction(
      R"(^(export\s+)?(default\s+)?(async\s+)?function\s+([A-Za-z_]\w*)\s*[\(<])", re::M);
  static const re::Regex kConstFunction(
      R"(^export\s+(?:const|let)\s+([A-Za-z_]\w*)\s*=\s*(?:async\s+)?(?:function|\([^)]*\)\s*=>|\w+\s*=>))",
      re::M);
  static const re::Regex kType(R"(^(export\s+)?(?:interface|type)\s+([A-Za-z_]\w*)\s*[={<])", re::M);
  static const re::Regex kClass(R"(^(export\s+)?(?:default\s+)?class\s+([A-Za-z_]\w*))", re::M);
  static const re::Regex kSchema(R"(^(?:export\s+)?const\s+([A-Za-z_]\w*[Ss]chema)\s*=\s*z\.)", re::M);

  Collector c(content, file_path);
  LineCounter lines(content);
  auto add = [&](std::string_view name, size_t at, const std::string& type,
                 const std::string& confidence, bool exported) {
    if (!c.claim(name)) return;
    long long line_no = lines.at(at);
    c.add(name, line_no, find_block_end_ts(c.lines(), line_no), type.c_str(), confidence.c_str(),
          exported);
  };

  const bool exports = has(content, "export");
  if (exports) kRoute.finditer(re::Valid(content), [&](const re::Match& m) {
    add(m.group(1), m.start(), "api_route", "high", true);
    return true;
  });
  if (has(content, "function")) kFunction.finditer(re::Valid(content), [&](const re::Match& m) {
    bool exported = m.matched(1);
    auto [type, confidence] = classify_ts(m.group(4), exported);
    if (type != "api_route") add(m.group(4), m.start(), type, confidence, exported);
    return true;
  });
  if (exports) kConstFunction.finditer(re::Valid(content), [&](const re::Match& m) {
    auto [type, confidence] = classify_ts(m.group(1), true);
    add(m.group(1), m.start(), type, confidence, true);
    return true;
  });
  if (has(content, "type") || has(content, "interface")) kType.finditer(re::Valid(content), [&](const re::Match& m) {
    add(m.group(2), m.start(), "model", "high", m.matched(1));
    return true;
  });
  if (has(content, "class")) kClass.finditer(re::Valid(content), [&](const re::Match& m) {
    add(m.group(2), m.start(), "model", "high", m.matched(1));
    return true;
  });
  if (has(content, "chema")) kSchema.finditer(re::Valid(content), [&](const re::Match& m) {
    add(m.group(1), m.start(), "model", "high", true);
    return true;
  });
  return c.take();
}

std::vector<Symbol> symbols_py(std::string_view content, std::string_view file_path) {
  static const re::Regex kRouteDecorator(R"(@(?:app|router|blueprint)\.(?:get|post|put|delete|patch)\s*\()",
                                         re::M | re::I);
  static const re::Regex kDef(R"(^(?:async\s+)?def\s+([A-Za-z_]\w*)\s*\()", re::M);
  static const re::Regex kClass(R"(^class\s+([A-Za-z_]\w*))", re::M);

  Collector c(content, file_path);
  LineCounter lines(content);
  auto add = [&](std::string_view name, long long line_no, const char* type) {
    if (!c.claim(name)) return;
    c.add(name, line_no, find_block_end_py(c.lines(), line_no), type, "high",
          !text::starts_with(name, "_"));
  };

  std::set<long long> decorator_lines;
  if (has(content, "@")) kRouteDecorator.finditer(re::Valid(content), [&](const re::Match& m) {
    decorator_lines.insert(lines.at(m.start()));
    return true;
  });
  if (has(content, "def")) kDef.finditer(re::Valid(content), [&](const re::Match& m) {
    std::string_view name = m.group(1);
    if (text::starts_with(name, "_") || text::starts_with(name, "test_")) return true;
    long long line_no = lines.at(m.start());
    // A route decorator up to three lines before or after the definition.
    auto near = decorator_lines.lower_bound(line_no - 3);
    bool route = near != decorator_lines.end() && *near <= line_no + 3;
    add(name, line_no, route ? "api_route" : "use_case");
    return true;
  });
  if (has(content, "class")) kClass.finditer(re::Valid(content), [&](const re::Match& m) {
    add(m.group(1), lines.at(m.start()), "model");
    return true;
  });
  return c.take();
}

std::vector<Symbol> symbols_php(std::string_view content, std::string_view file_path) {
  static const re::Regex kFunction(R"((?:public|private|protected|\s)(?:static\s+)?function\s+([A-Za-z_]\w*))");
  static const re::Regex kType(R"((?:class|interface|trait|enum)\s+([A-Za-z_]\w*))");

  Collector c(content, file_path);
  LineCounter lines(content);
  kFunction.finditer(re::Valid(content), [&](const re::Match& m) {
    if (!c.claim(m.group(1))) return true;
    long long line_no = lines.at(m.start());
    c.add(m.group(1), line_no, find_block_end_ts(c.lines(), line_no), "use_case", "high",
          public_near(content, m.start()));
    return true;
  });
  kType.finditer(re::Valid(content), [&](const re::Match& m) {
    if (!c.claim(m.group(1))) return true;
    long long line_no = lines.at(m.start());
    c.add(m.group(1), line_no, find_block_end_ts(c.lines(), line_no), "model", "high", true);
    return true;
  });
  return c.take();
}

std::vector<Symbol> symbols_cs(std::string_view content, std::string_view file_path) {
  static const re::Regex kType(
      R"((?:public|internal|private|protected)\s+(?:(?:static|abstract|sealed|partial|new|override|virtual|extern|unsafe)\s+)*(?:class|interface|enum|struct|record)\s+([A-Za-z_]\w*))");
  static const re::Regex kMethod(
      R"((?:public|private|protected|internal)\s+(?:static\s+)?(?:async\s+)?(?:virtual\s+|override\s+)?(?!class\b|if\b|for\b|while\b|return\b|new\b)[\w<>\[\]?]+\s+([A-Za-z_]\w*)\s*\()");
  static constexpr std::string_view kKeywords[] = {"if", "for", "while", "return", "new", "class"};

  Collector c(content, file_path);
  LineCounter lines(content);
  auto add = [&](std::string_view name, size_t at, const char* type) {
    if (!c.claim(name)) return;
    long long line_no = lines.at(at);
    long long last_line = static_cast<long long>(c.lines().size()) - 1;
    c.add(name, line_no, std::min(last_line, line_no + 60), type, "high", public_near(content, at));
  };
  // Declarations start with their access keyword.
  const std::initializer_list<std::string_view> access = {"public", "private", "protected", "internal"};
  finditer_near(kType, content, access, at_literal, [&](const re::Match& m) {
    add(m.group(1), m.start(), "model");
    return true;
  });
  finditer_near(kMethod, content, access, at_literal, [&](const re::Match& m) {
    std::string_view name = m.group(1);
    if (std::find(std::begin(kKeywords), std::end(kKeywords), name) == std::end(kKeywords))
      add(name, m.start(), "use_case");
    return true;
  });
  return c.take();
}

std::vector<Symbol> symbols_for_file(std::string_view content, std::string_view file_id,
                                     std::string_view ext) {
  if (ext == ".ts" || ext == ".tsx" || ext == ".js" || ext == ".jsx") return symbols_ts(content, file_id);
  if (ext == ".py") return symbols_py(content, file_id);
  if (ext == ".cs") return symbols_cs(content, file_id);
  if (ext == ".php") return symbols_php(content, file_id);
  return {};
}

std::vector<json::Value> to_records(const std::vector<Symbol>& syms) {
  std::vector<json::Value> out;
  out.reserve(syms.size());
  for (const auto& s : syms) out.push_back(s.to_json());
  return out;
}

std::vector<json::Value> extract_symbols_ts(std::string_view content, std::string_view file_path) {
  return to_records(symbols_ts(content, file_path));
}
std::vector<json::Value> extract_symbols_py(std::string_view content, std::string_view file_path) {
  return to_records(symbols_py(content, file_path));
}
std::vector<json::Value> extract_symbols_php(std::string_view content, std::string_view file_path) {
  return to_records(symbols_php(content, file_path));
}
std::vector<json::Value> extract_symbols_cs(std::string_view content, std::string_view file_path) {
  return to_records(symbols_cs(content, file_path));
}

}  // namespace kestrune::lexscan
