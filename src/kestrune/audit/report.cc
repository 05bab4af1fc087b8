#include "kestrune/audit/report.h"

#include <functional>
#include <vector>

#include "kestrune/audit/checks.h"
#include "kestrune/audit/graph_view.h"
#include "kestrune/audit/score.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"

namespace kestrune::audit {

namespace {

const json::Array kNone;
const json::Value kNull;

const json::Array& list_of(const json::Object& r, std::string_view key) {
  const json::Value* v = r.find(key);
  return v && v->is_array() ? v->as_array() : kNone;
}

// A record field in text form; an absent one prints as nothing.
std::string str(const json::Value& obj, std::string_view key) {
  const json::Value* v = obj.find(key);
  return v ? json::py_str(*v) : std::string();
}

// 1234567 -> "1,234,567"
std::string grouped(size_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// The stored score; a record without one is scored afresh.
long long score_of(const json::Object& r) {
  const json::Value* v = r.find("debt_score");
  return v && v->is_int() ? v->as_int() : debt_score(r);
}

std::string rule() {
  std::string s;
  for (int i = 0; i < 52; ++i) s += "━";
  return s;
}

std::string last_component(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The report's lines, with the bold, dim and colour wrappers of one colour setting.
class Lines {
 public:
  explicit Lines(bool color) : color_(color) {}

  std::string c(std::string_view code, std::string_view t) const { return colorize(code, t, color_); }
  std::string h(std::string_view t) const { return c("bold", t); }
  std::string dim(std::string_view t) const { return c("dim", t); }

  void add(std::string line) { lines_.push_back(std::move(line)); }
  void blank() { lines_.emplace_back(); }

  // One block of findings, only when there are any: the bold title with the
  // count, a line for each of the first `shown` items, with `tell_rest` a
  // dimmed "... and N more" for those left out, then an empty line.
  void section(std::string_view title, std::string_view unit, const json::Array& items, size_t shown,
               bool tell_rest, const std::function<std::string(const json::Value&)>& item_line) {
    if (items.empty()) return;
    add(h(std::string(title) + "  (" + std::to_string(items.size()) + std::string(unit) + ")"));
    for (size_t i = 0; i < items.size() && i < shown; ++i) add(item_line(items[i]));
    if (tell_rest && items.size() > shown) add(dim("  ... and " + std::to_string(items.size() - shown) + " more"));
    blank();
  }

  std::string joined() const { return text::join(lines_, "\n"); }

 private:
  bool color_;
  std::vector<std::string> lines_;
};

// The first `n` entries of a list in text form, joined by `sep`.
std::string first_joined(const json::Array& values, size_t n, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < values.size() && i < n; ++i) {
    if (i) out += sep;
    out += json::py_str(values[i]);
  }
  return out;
}

void overview(Lines& L, std::string_view root, const json::Object& r) {
  const long long score = score_of(r);
  const json::Value* graph = r.find("_graph");
  size_t code_files = 0, symbols = 0;
  for (const json::Value& n : graph ? list_field(*graph, "nodes") : kNone) {
    std::string_view kind = str_field(n, "kind");
    if (kind == "file" && has_code_suffix(str_field(n, "id"))) ++code_files;
    if (kind == "symbol") ++symbols;
  }
  L.blank();
  L.add(L.h("Kestrune Audit — " + fs::name(root)));
  L.add(rule());
  L.blank();
  L.add(L.h("OVERVIEW"));
  L.add("  Code files: " + grouped(code_files) + "   Symbols: " + grouped(symbols));
  L.add("  Vibe debt:  " +
        L.c(debt_color(score), std::to_string(score) + "/100  (" + std::string(debt_grade(score)) + ")"));
  L.blank();
}

void coverage(Lines& L, const json::Object& r) {
  const json::Value* cov_p = r.find("test_coverage");
  const json::Value& cov = cov_p ? *cov_p : kNull;
  const json::Value* pct = cov.find("coverage_pct");
  std::string_view pct_color = "red";
  if (pct && pct->is_int()) pct_color = pct->as_int() >= 70 ? "green" : pct->as_int() >= 40 ? "yellow" : "red";
  const json::Value* tested = cov.find("tested_files");
  const json::Value* total = cov.find("total_code_files");
  L.add(L.h("TEST COVERAGE"));
  L.add("  " + L.c(pct_color, (pct ? json::py_str(*pct) : "?") + "%") + "  (" +
        (tested ? json::py_str(*tested) : "0") + "/" + (total ? json::py_str(*total) : "0") +
        " source files covered)");
  const json::Array& untested = list_field(cov, "untested");
  if (!untested.empty()) {
    L.add(L.dim("  Largest untested:"));
    for (size_t i = 0; i < untested.size() && i < 4; ++i) L.add(L.dim("    · " + json::py_str(untested[i])));
  }
  L.blank();
}

void findings(Lines& L, const json::Object& r) {
  L.section("DEAD EXPORTS", " symbols", list_of(r, "dead_exports"), 5, true, [&](const json::Value& d) {
    return "  · " + str(d, "file") + ":" + str(d, "line") + "  " + L.c("dim", str(d, "symbol"));
  });
  L.section("CIRCULAR DEPS", " cycle(s)", list_of(r, "circular_deps"), 3, false, [&](const json::Value& cycle) {
    return "  · " + L.c("orange", first_joined(cycle.is_array() ? cycle.as_array() : kNone, 4, " → "));
  });
  L.section("COPY-PASTE", " group(s)", list_of(r, "copy_paste"), 4, false, [&](const json::Value& g) {
    std::string names;
    const json::Array& syms = list_field(g, "symbols");
    for (size_t j = 0; j < syms.size() && j < 2; ++j) {
      if (j) names += "  /  ";
      names += last_component(str(syms[j], "file")) + "::" + str(syms[j], "name");
    }
    return "  · " + str(g, "copies") + "× duplicate, " + str(g, "lines") + " lines — " + L.c("dim", names);
  });
  L.section("DB IN ROUTES", " file(s)", list_of(r, "db_in_routes"), 4, false, [&](const json::Value& f) {
    return "  · " + str(f, "file") + "  (" + str(f, "count") + " calls, lines " +
           first_joined(list_field(f, "lines"), 3, ", ") + ")";
  });
  L.section("TODO / FIXME", "", list_of(r, "todos"), 4, true, [&](const json::Value& t) {
    return "  · " + str(t, "file") + ":" + str(t, "line") + "  " + L.c("dim", text::head(str(t, "text"), 70));
  });
  L.section("NO ERROR HANDLING", " function(s)", list_of(r, "missing_error_handling"), 4, false,
            [&](const json::Value& u) {
              return "  · " + str(u, "file") + ":" + str(u, "line") + "  " + L.c("dim", str(u, "symbol") + "()");
            });
}

void roadmap(Lines& L, const json::Object& r) {
  const json::Array tasks = fix_roadmap(r);
  if (tasks.empty()) return;
  L.add(rule());
  L.add(L.h("FIX ROADMAP"));
  L.blank();
  for (const json::Value& t : tasks) {
    L.add(L.c("cyan", "  Week " + str(t, "week") + ":  " + str(t, "label")));
    L.add(L.dim("           Why: " + str(t, "why")));
    const json::Array& files = list_field(t, "files");
    for (size_t i = 0; i < files.size() && i < 2; ++i) L.add(L.dim("           → " + json::py_str(files[i])));
    L.blank();
  }
}

}  // namespace

std::string colorize(std::string_view code, std::string_view text, bool enabled) {
  if (!enabled) return std::string(text);
  static constexpr std::pair<std::string_view, std::string_view> kCodes[] = {
      {"red", "\x1b[91m"},  {"yellow", "\x1b[93m"}, {"green", "\x1b[92m"}, {"cyan", "\x1b[96m"},
      {"bold", "\x1b[1m"},  {"dim", "\x1b[2m"},     {"orange", "\x1b[33m"}, {"reset", "\x1b[0m"}};
  std::string out;
  for (const auto& [name, seq] : kCodes)
    if (name == code) out = seq;
  out += text;
  out += "\x1b[0m";
  return out;
}

std::string format_report(std::string_view root, const json::Object& r, bool color) {
  Lines L(color);
  overview(L, root, r);
  coverage(L, r);
  findings(L, r);
  roadmap(L, r);
  L.add(rule());
  L.add(L.dim("  Run  brc audit /path --fix  to launch Claude with this context pre-loaded."));
  return L.joined();
}

std::string audit_context(const json::Object& r) {
  const long long score = score_of(r);
  const json::Value* pct = coverage_pct(r);
  std::vector<std::string> L = {
      "# Audit Context (generated by brc audit)",
      "",
      "Vibe debt score: " + std::to_string(score) + "/100 (" + std::string(debt_grade(score)) + ")",
      "Test coverage: " + (pct ? json::py_str(*pct) : "?") + "%",
      "",
  };
  const json::Array& dead = list_of(r, "dead_exports");
  if (!dead.empty())
    L.push_back("Dead exports: " + std::to_string(dead.size()) + " — run graph_dead_exports() for full list");
  const json::Array& cycles = list_of(r, "circular_deps");
  if (!cycles.empty()) L.push_back("Circular deps: " + std::to_string(cycles.size()) + " cycles");
  const json::Array& routes = list_of(r, "db_in_routes");
  if (!routes.empty()) {
    std::vector<std::string> files;
    for (size_t i = 0; i < routes.size() && i < 3; ++i) files.push_back(str(routes[i], "file"));
    L.push_back("DB in route handlers: " + text::join(files, ", "));
  }
  const json::Array tasks = fix_roadmap(r);
  if (!tasks.empty()) {
    L.insert(L.end(), {"", "## Suggested fix order", ""});
    for (const json::Value& t : tasks) {
      L.push_back("**Week " + str(t, "week") + ":** " + str(t, "label"));
      const json::Array& files = list_field(t, "files");
      for (size_t i = 0; i < files.size() && i < 2; ++i) L.push_back("  - " + json::py_str(files[i]));
      L.emplace_back();
    }
  }
  L.insert(L.end(), {"## Instructions", "Work through the fix roadmap above in order.",
                     "Call graph_continue() before reading any file.", "Call graph_register_edit() after every change."});
  return text::join(L, "\n");
}

std::string write_audit_context(const std::string& root, const json::Object& r) {
  const std::string dir = fs::join(root, ".braid");
  fs::makedirs(dir);
  const std::string path = fs::join(dir, "AUDIT_CONTEXT.md");
  fs::write_atomic(path, audit_context(r));
  return path;
}

std::string report_json(const json::Object& r) {
  json::Object out;
  for (const json::Member& m : r)
    if (m.key != "_graph") out.append(m.key, m.value);
  json::DumpOptions opt;
  opt.indent = 2;
  return json::dumps(out, opt);
}

}  // namespace kestrune::audit
