// Cheap tests that let a pattern pass be skipped when it cannot match: each
// names text that every match of the pattern must contain. Matching results
// never depend on them, only the time spent.
#pragma once

#include <string.h>

#include <initializer_list>
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

// Whether `s` may hold a call with a string literal: a "(" whose first
// character past whitespace is one of `quotes`, right after one of `names`
// (whitespace between allowed) and, unless `lead` is empty, with one of the
// characters of `lead` before that name (whitespace between allowed).
//
// Names are ASCII, lower case, and compare case-insensitively. Any non-ASCII
// character where these tests look makes the call a candidate: it may be
// Unicode whitespace, or fold to a letter of a name (U+017F to "s", U+212A to "k").
bool literal_call(std::string_view s, std::string_view quotes, std::initializer_list<std::string_view> names,
                  std::string_view lead = {});

}  // namespace kestrune::lexscan
