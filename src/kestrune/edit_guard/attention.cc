#include "kestrune/edit_guard/attention.h"

#include <cmath>
#include <limits>
#include <unordered_map>

#include "kestrune/base/json.h"
#include "kestrune/base/json_exact.h"
#include "kestrune/base/text.h"
#include "kestrune/edit_guard/edit_guard.h"

namespace kestrune::edit_guard {

int kind_weight(std::string_view kind) {
  for (const auto& [k, w] : KIND_WEIGHT)
    if (k == kind) return w;
  return 0;
}

namespace {

// A stamp as whole seconds: integers as they are, floats truncated toward zero.
// Anything else (a string, a boolean, NaN, a value beyond 64 bits) is a file
// we do not understand.
std::optional<int64_t> stamp(const json::Value* ts) {
  if (ts == nullptr || ts->is_null()) return 0;
  if (ts->is_int()) return ts->as_int();
  if (ts->is_float()) {
    double d = std::trunc(ts->as_double());
    // 2^63 is exact as a double; the range check also rejects NaN and infinities.
    if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<Action>> parse_actions(std::string_view bytes) {
  // Read as strict UTF-8: a byte-order mark is not JSON.
  if (!text::is_valid_utf8(bytes) || text::starts_with(bytes, "\xEF\xBB\xBF")) return std::nullopt;
  json::Value doc;
  try {
    doc = json::parse_exact(bytes);
  } catch (...) {
    return std::nullopt;
  }
  if (!doc.is_object()) return std::nullopt;
  const json::Value* list = doc.find("actions");
  if (list == nullptr) return std::vector<Action>{};
  if (!list->is_array()) return std::nullopt;

  std::vector<Action> actions;
  for (const json::Value& a : list->as_array()) {
    if (!a.is_object()) return std::nullopt;
    const json::Value* payload = a.find("payload");
    if (payload != nullptr && !payload->is_null() && !payload->is_object()) return std::nullopt;
    std::optional<int64_t> ts = stamp(a.find("ts"));
    if (!ts) return std::nullopt;

    const json::Value* kind = a.find("kind");
    int weight = kind != nullptr && kind->is_string() ? kind_weight(kind->as_string()) : 0;
    if (weight == 0) continue;
    const json::Value* file = payload != nullptr ? payload->find("file") : nullptr;
    if (file == nullptr || !file->is_string() || file->as_string().empty()) continue;
    const std::string& k = kind->as_string();
    actions.push_back({weight, k == "read" || k == "read_cache_hit", file->as_string(), *ts});
  }
  return actions;
}

std::vector<Attention> tally(const std::vector<Action>& actions, int64_t now) {
  std::vector<Attention> records;
  std::unordered_map<std::string_view, size_t> index;
  records.reserve(actions.size());
  for (const Action& a : actions) {
    auto [it, fresh] = index.try_emplace(a.file, records.size());
    if (fresh) records.push_back({a.file});
    Attention& r = records[it->second];
    // Wide enough that no pair of 64-bit stamps overflows; any age beyond 2^53
    // seconds decays to exactly 0 whatever the rounding.
    __int128 age = static_cast<__int128>(now) - a.ts;
    if (age < 0) age = 0;
    double decay = std::pow(2.0, -static_cast<double>(age) / HALF_LIFE_SECONDS);
    r.score += a.weight * decay;
    (a.is_read ? r.reads : r.edits) += 1;
    r.last_ts = std::max(r.last_ts, a.ts);
  }
  return records;
}

}  // namespace kestrune::edit_guard
