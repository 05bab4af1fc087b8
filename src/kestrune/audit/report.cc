#include "kestrune/audit/report.h"

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
  auto h = [&](std::string_view t) { return colorize("bold", t, color); };
  auto dim = [&](std::string_view t) { return colorize("dim", t, color); };
  std::vector<std::string> L;

  const long long score = score_of(r);
  const json::Value* graph = r.find("_graph");
  size_t code_files = 0, symbols = 0;
  for (const json::Value& n : graph ? list_field(*graph, "nodes") : kNone) {
    std::string_view kind = str_field(n, "kind");
    if (kind == "file" && has_code_suffix(str_field(n, "id"))) ++code_files;
    if (kind == "symbol") ++symbols;
  }

  L.emplace_back();
  L.push_back(h("Kestrune Audit — " + fs::name(root)));
  L.push_back(rule());
  L.emplace_back();
  L.push_back(h("OVERVIEW"));
  L.push_back("  Code files: " + grouped(code_files) + "   Symbols: " + grouped(symbols));
  L.push_back("  Vibe debt:  " + colorize(debt_color(score),
                                         std::to_string(score) + "/100  (" + std::string(debt_grade(score)) + ")",
                                         color));
  L.emplace_back();

  const json::Value* cov_p = r.find("test_coverage");
  const json::Value& cov = cov_p ? *cov_p : kNull;
  const json::Value* pct = cov.find("coverage_pct");
  std::string_view pct_color = "red";
  if (pct && pct->is_int()) pct_color = pct->as_int() >= 70 ? "green" : pct->as_int() >= 40 ? "yellow" : "red";
  const json::Value* tested = cov.find("tested_files");
  const json::Value* total = cov.find("total_code_files");
  L.push_back(h("TEST COVERAGE"));
  L.push_back("  " + colorize(pct_color, (pct ? json::py_str(*pct) : "?") + "%", color) + "  (" +
              (tested ? json::py_str(*tested) : "0") + "/" + (total ? json::py_str(*total) : "0") +
              " source files covered)");
  const json::Array& untested = list_field(cov, "untested");
  if (!untested.empty()) {
    L.push_back(dim("  Largest untested:"));
    for (size_t i = 0; i < untested.size() && i < 4; ++i) L.push_back(dim("    · " + json::py_str(untested[i])));
  }
  L.emplace_back();

  const json::Array& dead = list_of(r, "dead_exports");
  if (!dead.empty()) {
    L.push_back(h("DEAD EXPORTS  (" + std::to_string(dead.size()) + " symbols)"));
    for (size_t i = 0; i < dead.size() && i < 5; ++i)
      L.push_back("  · " + str(dead[i], "file") + ":" + str(dead[i], "line") + "  " +
                  colorize("dim", str(dead[i], "symbol"), color));
    if (dead.size() > 5) L.push_back(dim("  ... and " + std::to_string(dead.size() - 5) + " more"));
    L.emplace_back();
  }

  const json::Array& cycles = list_of(r, "circular_deps");
  if (!cycles.empty()) {
    L.push_back(h("CIRCULAR DEPS  (" + std::to_string(cycles.size()) + " cycle(s))"));
    for (size_t i = 0; i < cycles.size() && i < 3; ++i) {
      std::string ring;
      const json::Array& ids = cycles[i].is_array() ? cycles[i].as_array() : kNone;
      for (size_t j = 0; j < ids.size() && j < 4; ++j) {
        if (j) ring += " → ";
        ring += json::py_str(ids[j]);
      }
      L.push_back("  · " + colorize("orange", ring, color));
    }
    L.emplace_back();
  }

  const json::Array& dups = list_of(r, "copy_paste");
  if (!dups.empty()) {
    L.push_back(h("COPY-PASTE  (" + std::to_string(dups.size()) + " group(s))"));
    for (size_t i = 0; i < dups.size() && i < 4; ++i) {
      std::string names;
      const json::Array& syms = list_field(dups[i], "symbols");
      for (size_t j = 0; j < syms.size() && j < 2; ++j) {
        if (j) names += "  /  ";
        names += last_component(str(syms[j], "file")) + "::" + str(syms[j], "name");
      }
      L.push_back("  · " + str(dups[i], "copies") + "× duplicate, " + str(dups[i], "lines") + " lines — " +
                  colorize("dim", names, color));
    }
    L.emplace_back();
  }

  const json::Array& routes = list_of(r, "db_in_routes");
  if (!routes.empty()) {
    L.push_back(h("DB IN ROUTES  (" + std::to_string(routes.size()) + " file(s))"));
    for (size_t i = 0; i < routes.size() && i < 4; ++i) {
      std::string lines;
      const json::Array& nums = list_field(routes[i], "lines");
      for (size_t j = 0; j < nums.size() && j < 3; ++j) {
        if (j) lines += ", ";
        lines += json::py_str(nums[j]);
      }
      L.push_back("  · " + str(routes[i], "file") + "  (" + str(routes[i], "count") + " calls, lines " + lines + ")");
    }
    L.emplace_back();
  }

  const json::Array& todos = list_of(r, "todos");
  if (!todos.empty()) {
    L.push_back(h("TODO / FIXME  (" + std::to_string(todos.size()) + ")"));
    for (size_t i = 0; i < todos.size() && i < 4; ++i)
      L.push_back("  · " + str(todos[i], "file") + ":" + str(todos[i], "line") + "  " +
                  colorize("dim", text::head(str(todos[i], "text"), 70), color));
    if (todos.size() > 4) L.push_back(dim("  ... and " + std::to_string(todos.size() - 4) + " more"));
    L.emplace_back();
  }

  const json::Array& unguarded = list_of(r, "missing_error_handling");
  if (!unguarded.empty()) {
    L.push_back(h("NO ERROR HANDLING  (" + std::to_string(unguarded.size()) + " function(s))"));
    for (size_t i = 0; i < unguarded.size() && i < 4; ++i)
      L.push_back("  · " + str(unguarded[i], "file") + ":" + str(unguarded[i], "line") + "  " +
                  colorize("dim", str(unguarded[i], "symbol") + "()", color));
    L.emplace_back();
  }

  const json::Array tasks = fix_roadmap(r);
  if (!tasks.empty()) {
    L.push_back(rule());
    L.push_back(h("FIX ROADMAP"));
    L.emplace_back();
    for (const json::Value& t : tasks) {
      L.push_back(colorize("cyan", "  Week " + str(t, "week") + ":  " + str(t, "label"), color));
      L.push_back(dim("           Why: " + str(t, "why")));
      const json::Array& files = list_field(t, "files");
      for (size_t i = 0; i < files.size() && i < 2; ++i) L.push_back(dim("           → " + json::py_str(files[i])));
      L.emplace_back();
    }
  }

  L.push_back(rule());
  L.push_back(dim("  Run  brc audit /path --fix  to launch Claude with this context pre-loaded."));
  return text::join(L, "\n");
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
