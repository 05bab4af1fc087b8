#include "kestrune/lexscan/prefilter.h"

namespace kestrune::lexscan {

namespace {

enum class Near { No, Yes, Maybe };

bool ascii(char c) { return static_cast<unsigned char>(c) < 0x80; }

// ASCII whitespace as \s reads it (Python's str.isspace), \x1c-\x1f included.
bool ascii_space(char c) { return (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= ' '); }

// Start of the whitespace run that ends at `end`.
size_t skip_space_back(std::string_view s, size_t end) {
  while (end > 0 && ascii_space(s[end - 1])) --end;
  return end;
}

// Whether `name` ends at `end`.
Near name_before(std::string_view s, size_t end, std::string_view name) {
  if (end < name.size()) {
    // Too short in bytes, unless a non-ASCII character stands where the name would.
    for (size_t i = 0; i < end; ++i)
      if (!ascii(s[i])) return Near::Maybe;
    return Near::No;
  }
  for (size_t k = 1; k <= name.size(); ++k) {
    char c = s[end - k];
    if (!ascii(c)) return Near::Maybe;
    if ((c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c) != name[name.size() - k]) return Near::No;
  }
  return Near::Yes;
}

}  // namespace

bool literal_call(std::string_view s, std::string_view quotes, std::initializer_list<std::string_view> names,
                  std::string_view lead) {
  for (size_t paren = s.find('('); paren != std::string_view::npos; paren = s.find('(', paren + 1)) {
    size_t q = paren + 1;
    while (q < s.size() && ascii_space(s[q])) ++q;
    if (q == s.size() || (ascii(s[q]) && quotes.find(s[q]) == std::string_view::npos)) continue;
    const size_t end = skip_space_back(s, paren);
    for (std::string_view name : names) {
      Near n = name_before(s, end, name);
      if (n == Near::Maybe) return true;
      if (n == Near::No) continue;
      if (lead.empty()) return true;
      const size_t before = skip_space_back(s, end - name.size());
      if (before > 0 && (!ascii(s[before - 1]) || lead.find(s[before - 1]) != std::string_view::npos)) return true;
    }
  }
  return false;
}

}  // namespace kestrune::lexscan
