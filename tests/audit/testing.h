// Shorthands of the audit tests; scratch directories come from common/testkit.h.
#pragma once

#include <string>
#include <string_view>

#include "common/testkit.h"
#include "kestrune/base/json.h"

namespace kestrune::audit::testing {

// prefix + i + suffix, e.g. numbered("f", 3, ".ts") is "f3.ts".
inline std::string numbered(std::string_view prefix, long i, std::string_view suffix = "") {
  std::string s(prefix);
  s += std::to_string(i);
  s += suffix;
  return s;
}

inline json::Value graph(std::string_view text) { return json::parse(text); }

}  // namespace kestrune::audit::testing
