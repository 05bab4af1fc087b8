#include "kestrune/audit/score.h"

#include <algorithm>
#include <string>

#include "kestrune/audit/graph_view.h"

namespace kestrune::audit {

namespace {

const json::Array kNone;

const json::Array& list_of(const json::Object& r, std::string_view key) {
  const json::Value* v = r.find(key);
  return v && v->is_array() ? v->as_array() : kNone;
}

long long count_of(const json::Object& r, std::string_view key) {
  return static_cast<long long>(list_of(r, key).size());
}

// The coverage as a number for the score and the roadmap: 100 when unknown.
double coverage_number(const json::Object& r) {
  const json::Value* pct = coverage_pct(r);
  if (pct && pct->is_int()) return static_cast<double>(pct->as_int());
  if (pct && pct->is_float()) return pct->as_double();
  return 100;
}

// Collects up to `limit` distinct values in first-appearance order.
struct Distinct {
  explicit Distinct(size_t limit) : limit(limit) {}
  void add(const json::Value* v) {
    if (!v || items.size() >= limit) return;
    if (std::find(items.begin(), items.end(), *v) == items.end()) items.push_back(*v);
  }
  size_t limit;
  json::Array items;
};

json::Object task(long long week, std::string label, json::Array files, std::string why) {
  json::Object t;
  t.append("week", week);
  t.append("label", std::move(label));
  t.append("files", std::move(files));
  t.append("why", std::move(why));
  return t;
}

}  // namespace

const json::Value* coverage_pct(const json::Object& r) {
  const json::Value* cov = r.find("test_coverage");
  const json::Value* pct = cov ? cov->find("coverage_pct") : nullptr;
  return pct && !pct->is_null() ? pct : nullptr;
}

long long debt_score(const json::Object& r) {
  double score = std::max(0.0, 60 - coverage_number(r));
  score += static_cast<double>(std::min(count_of(r, "dead_exports") / 3, 15LL));
  score += static_cast<double>(std::min(count_of(r, "circular_deps") * 2, 10LL));
  score += static_cast<double>(std::min(count_of(r, "copy_paste") * 2, 10LL));
  score += static_cast<double>(std::min(count_of(r, "db_in_routes"), 5LL));
  score += static_cast<double>(std::min(count_of(r, "todos") / 4, 5LL));
  score += static_cast<double>(std::min(count_of(r, "missing_error_handling") / 3, 5LL));
  return static_cast<long long>(std::min(score, 100.0));
}

json::Array fix_roadmap(const json::Object& r) {
  json::Array tasks;

  const double cov = coverage_number(r);
  if (cov < 50) {
    json::Array files;
    const json::Value* record = r.find("test_coverage");
    const json::Array& untested = record ? list_field(*record, "untested") : kNone;
    for (size_t i = 0; i < untested.size() && i < 3; ++i) files.push_back(untested[i]);
    tasks.emplace_back(task(1, "Add tests to largest untested modules", std::move(files),
                            "Only " + json::py_str(*coverage_pct(r)) + "% test coverage"));
  }

  const json::Array& routes = list_of(r, "db_in_routes");
  if (!routes.empty()) {
    json::Array files;
    for (size_t i = 0; i < routes.size() && i < 3; ++i) {
      const json::Value* f = routes[i].find("file");
      files.push_back(f ? *f : json::Value(""));
    }
    tasks.emplace_back(task(1, "Move DB calls out of route handlers", std::move(files),
                            "Direct DB in routes = no separation of concerns, untestable"));
  }

  const json::Array& dups = list_of(r, "copy_paste");
  if (!dups.empty()) {
    Distinct files(4);
    for (size_t i = 0; i < dups.size() && i < 3; ++i)
      for (const json::Value& s : list_field(dups[i], "symbols")) files.add(s.find("file"));
    tasks.emplace_back(task(2, "Extract duplicated functions to shared util", std::move(files.items),
                            std::to_string(dups.size()) +
                                " duplicate function group(s) — single bug fix = fix everywhere"));
  }

  const json::Array& cycles = list_of(r, "circular_deps");
  if (!cycles.empty()) {
    Distinct files(4);
    for (size_t i = 0; i < cycles.size() && i < 2; ++i)
      if (cycles[i].is_array())
        for (const json::Value& id : cycles[i].as_array()) files.add(&id);
    tasks.emplace_back(task(2, "Break circular imports", std::move(files.items),
                            "Circular deps prevent tree-shaking and cause init-order bugs"));
  }

  const json::Array& dead = list_of(r, "dead_exports");
  if (dead.size() >= 5) {
    Distinct files(4);
    for (size_t i = 0; i < dead.size() && i < 6; ++i) files.add(dead[i].find("file"));
    tasks.emplace_back(task(3, "Remove " + std::to_string(dead.size()) + " dead exports",
                            std::move(files.items), "Dead code increases bundle size and confuses readers"));
  }

  const json::Array& unguarded = list_of(r, "missing_error_handling");
  if (!unguarded.empty()) {
    Distinct files(4);
    for (size_t i = 0; i < unguarded.size() && i < 5; ++i) files.add(unguarded[i].find("file"));
    tasks.emplace_back(task(2, "Add error handling to " + std::to_string(unguarded.size()) + " external call(s)",
                            std::move(files.items),
                            "Unhandled network/RPC errors cause silent failures in production"));
  }
  return tasks;
}

std::string_view debt_grade(long long score) {
  return score < 30 ? "LOW" : score < 60 ? "MEDIUM" : "HIGH";
}

std::string_view debt_color(long long score) {
  return score < 30 ? "green" : score < 60 ? "yellow" : "red";
}

}  // namespace kestrune::audit
