// Substring tests for the short texts scoring reads: ids, summaries, keyword
// lists, edges written out.
#pragma once

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace kestrune::br {

// s.find(needle) != npos. Scoring asks this dozens of times for every node of
// texts a few dozen bytes long, where a call to memchr and memcmp per test
// costs more than the search itself; so short texts get a plain loop that
// matches the first two bytes before comparing the rest.
inline bool contains(std::string_view s, std::string_view needle) {
  const size_t n = needle.size();
  if (n > s.size()) return false;
  if (n < 2 || s.size() > 256) return s.find(needle) != s.npos;
  const char c0 = needle[0], c1 = needle[1];
  const char* last = s.data() + (s.size() - n);
  for (const char* p = s.data(); p <= last; ++p)
    if (p[0] == c0 && p[1] == c1 && std::memcmp(p + 2, needle.data() + 2, n - 2) == 0) return true;
  return false;
}

inline bool contains_any(std::string_view s, std::initializer_list<std::string_view> needles) {
  return std::any_of(needles.begin(), needles.end(), [&](auto n) { return contains(s, n); });
}

}  // namespace kestrune::br
