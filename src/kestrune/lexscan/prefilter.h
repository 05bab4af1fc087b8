// Cheap tests that let a pattern pass be skipped when it cannot match: each
// names text that every match of the pattern must contain. Matching results
// never depend on them, only the time spent.
#pragma once

#include <string.h>

#include <string_view>

#include "kestrune/base/text.h"

namespace kestrune::lexscan {

inline bool has(std::string_view s, std::string_view literal) {
  return memmem(s.data(), s.size(), literal.data(), literal.size()) != nullptr;
}

// Whether the text starts with `prefix` after leading whitespace (what \s* skips).
inline bool leads_with(std::string_view s, std::string_view prefix) {
  return text::lstrip(s).starts_with(prefix);
}

}  // namespace kestrune::lexscan
