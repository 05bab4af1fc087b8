// Words of code and of questions about it, as the relevance ranker compares
// them: identifiers split where a developer would read them apart, lower-cased
// and reduced to a common stem, so that "parseArgs", "parse_args", "parsing"
// and "parser" meet.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrune::br {

// "parsing", "parsed", "parser", "parse" -> "pars"; "dependencies" -> "dependency";
// "errors" -> "error". `word` is lower-case ASCII; short words stay as they are.
std::string stem(std::string_view word);

// The pieces of one identifier in reading order, as written: "parseHTTPHeader"
// -> parse, HTTP, Header; "__init__" -> init; "utf8_decode" -> utf8, decode.
std::vector<std::string_view> identifier_parts(std::string_view word);

// English words that carry no subject in a question ("how", "does", "where").
bool is_stop_word(std::string_view lower_word);

// Calls emit(term, whole) for every term of `text`: for each ASCII identifier
// run, the whole run (lower-cased, stemmed; whole = true), then, when it has
// more than one piece, each piece (whole = false). Runs and pieces shorter than
// two characters are left out; so are runs longer than 64. A term lasts until
// the next one is emitted.
template <class Emit>
void for_each_term(std::string_view text, Emit&& emit);

namespace terms_detail {
inline bool is_word_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
// Splits `word` at underscores and case changes; calls piece(begin, size) per piece.
template <class Piece>
void split_pieces(std::string_view word, Piece&& piece) {
  auto is_upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  auto is_lower = [](char c) { return c >= 'a' && c <= 'z'; };
  size_t start = 0;
  const size_t n = word.size();
  for (size_t i = 0; i <= n; ++i) {
    bool cut = i == n || word[i] == '_';
    bool cut_before = false;
    if (!cut && i > start) {
      const char p = word[i - 1], c = word[i];
      // aB: a new word begins at B; ABc: the capital before c begins it.
      if ((is_lower(p) || (p >= '0' && p <= '9')) && is_upper(c)) cut_before = true;
      else if (is_upper(p) && is_upper(c) && i + 1 < n && is_lower(word[i + 1])) cut_before = true;
    }
    if (cut || cut_before) {
      if (i > start) piece(start, i - start);
      start = cut ? i + 1 : i;
    }
  }
}
inline constexpr size_t kMaxWord = 64;
// `piece` (at most kMaxWord bytes) lower-cased and stemmed, written to `buf`
// (kMaxWord + 1 bytes).
std::string_view lower_stem(char* buf, std::string_view piece);
}  // namespace terms_detail

template <class Emit>
void for_each_term(std::string_view text, Emit&& emit) {
  using terms_detail::is_word_byte;
  char buf[terms_detail::kMaxWord + 1];
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    if (!is_word_byte(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < n && is_word_byte(static_cast<unsigned char>(text[j]))) ++j;
    // Underscores at the ends ("__init__", "_private") are decoration, not words.
    size_t a = i, b = j;
    while (a < b && text[a] == '_') ++a;
    while (b > a && text[b - 1] == '_') --b;
    i = j;
    const std::string_view word = text.substr(a, b - a);
    if (word.size() < 2 || word.size() > terms_detail::kMaxWord) continue;
    emit(terms_detail::lower_stem(buf, word), true);
    int pieces = 0;
    terms_detail::split_pieces(word, [&](size_t, size_t) { ++pieces; });
    if (pieces < 2) continue;
    terms_detail::split_pieces(word, [&](size_t start, size_t size) {
      if (size < 2) return;
      emit(terms_detail::lower_stem(buf, word.substr(start, size)), false);
    });
  }
}

}  // namespace kestrune::br
