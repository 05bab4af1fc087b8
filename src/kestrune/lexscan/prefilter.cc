#include "kestrune/lexscan/prefilter.h"

#include <string.h>

#include <algorithm>
#include <optional>
#include <vector>

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

size_t find_literal(std::string_view s, std::string_view literal, size_t from) {
  if (literal.empty()) return from <= s.size() ? from : std::string_view::npos;
  if (from > s.size() || s.size() - from < literal.size()) return std::string_view::npos;
  // Letters by how rarely they appear in source text, rarest first.
  static constexpr std::string_view kRarest = "qzjxkvbwygpfmuhdclsnriaote";
  size_t key = 0;
  size_t best = kRarest.size() + 1;
  for (size_t k = 0; k < literal.size(); ++k) {
    size_t rank = kRarest.find(literal[k]);  // npos for anything else: punctuation is rarer still
    if (rank == std::string_view::npos) rank = 0;
    if (rank < best) best = rank, key = k;
  }
  const char* const end = s.data() + s.size();
  for (const char* p = s.data() + from + key; p < end;) {
    p = static_cast<const char*>(memchr(p, literal[key], static_cast<size_t>(end - p)));
    if (!p) break;
    const char* start = p - key;
    if (static_cast<size_t>(end - start) < literal.size()) break;
    if (memcmp(start, literal.data(), literal.size()) == 0) return static_cast<size_t>(start - s.data());
    ++p;
  }
  return std::string_view::npos;
}

size_t after_space(std::string_view text, size_t at) {
  while (at > 0 && (ascii_space(text[at - 1]) || !ascii(text[at - 1]))) --at;
  return at;
}

size_t script_declaration_start(std::string_view text, size_t at) {
  size_t start = at;
  size_t before = after_space(text, at);
  if (text.substr(0, before).ends_with("async")) {
    start = before - 5;
    before = after_space(text, start);
  }
  if (text.substr(0, before).ends_with("export")) start = before - 6;
  return start;
}

void finditer_near(const re::Regex& pattern, std::string_view text, std::initializer_list<std::string_view> literals,
                   size_t (*earliest)(std::string_view text, size_t at), const std::function<bool(const re::Match&)>& f) {
  constexpr size_t npos = std::string_view::npos;
  // The next place of each literal at or past `from`: each part of the text is searched once per literal.
  auto find = [&](std::string_view lit, size_t from) { return find_literal(text, lit, from); };
  std::vector<size_t> next;
  for (std::string_view lit : literals) next.push_back(find(lit, 0));
  size_t from = 0;  // no match starts before it: past the last match, or every start before it failed
  for (;;) {
    size_t at = npos;
    for (size_t k = 0; k < next.size(); ++k) {
      if (next[k] != npos && next[k] < from) next[k] = from < text.size() ? find(literals.begin()[k], from) : npos;
      at = std::min(at, next[k]);
    }
    if (at == npos) return;
    size_t start = std::max(from, earliest(text, at));
    from = at + 1;
    for (; start <= at; ++start) {
      if ((static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) continue;  // inside a character
      if (std::optional<re::Match> m = pattern.match(re::Valid(text), start)) {
        from = std::max(m->end(), start + 1);
        if (!f(*m)) return;
        break;
      }
    }
  }
}

}  // namespace kestrune::lexscan
