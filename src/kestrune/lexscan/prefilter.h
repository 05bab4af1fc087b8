// Cheap tests that let a pattern pass be skipped, or run only where it can
// match: each names text that every match of the pattern must contain.
// Matching results never depend on them, only the time spent.
#pragma once

#include <functional>
#include <initializer_list>
#include <string_view>

#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"

namespace kestrune::lexscan {

// The first place of `literal` in `s` at or past `from`, or npos. Looks for the
// literal's rarest letter, so that a common first letter costs no calls.
size_t find_literal(std::string_view s, std::string_view literal, size_t from = 0);

inline bool has(std::string_view s, std::string_view literal) {
  return find_literal(s, literal) != std::string_view::npos;
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

// re.finditer over decoded text for a pattern each match of which holds one
// of `literals`, without running the pattern over the text between them: for
// a literal found at `at`, the pattern is tried, anchored, at every start from
// `earliest(text, at)` up to `at`, leftmost first. `earliest` gives the
// earliest start a match through that literal can have; it must not reach
// back over another literal, so that later literals give later starts.
void finditer_near(const re::Regex& pattern, std::string_view text, std::initializer_list<std::string_view> literals,
                   size_t (*earliest)(std::string_view text, size_t at), const std::function<bool(const re::Match&)>& f);

// For patterns that start with their literal.
inline size_t at_literal(std::string_view, size_t at) { return at; }
// For patterns that start with whitespace (\s*) before their literal: the
// start of the whitespace before `at`. Any non-ASCII character counts, as it
// may be Unicode whitespace.
size_t after_space(std::string_view text, size_t at);
// For script declarations: "export" and "async", each followed by whitespace,
// may stand before the keyword at `at`.
size_t script_declaration_start(std::string_view text, size_t at);

}  // namespace kestrune::lexscan
