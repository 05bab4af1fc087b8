// The vibe debt score and the week-by-week fix roadmap drawn from a results record.
#pragma once

#include <string_view>

#include "kestrune/base/json.h"

namespace kestrune::audit {

// 0 (healthy) to 100: the sum of seven capped terms, capped at 100.
long long debt_score(const json::Object& r);
// Fix tasks ({"week", "label", "files", "why"}) in priority order, not sorted by week.
json::Array fix_roadmap(const json::Object& r);

// "LOW" below 30, "MEDIUM" below 60, else "HIGH".
std::string_view debt_grade(long long score);
// "green", "yellow" and "red" for the same bands.
std::string_view debt_color(long long score);

// The results record's coverage_pct, or nullptr when the record or the key is absent.
const json::Value* coverage_pct(const json::Object& r);

}  // namespace kestrune::audit
