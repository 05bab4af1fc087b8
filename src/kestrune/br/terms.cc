#include "kestrune/br/terms.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrune::br {
namespace {

// Whether the first n bytes of w end with `tail`.
inline bool ends_with(const char* w, size_t n, std::string_view tail) {
  return n >= tail.size() && std::memcmp(w + n - tail.size(), tail.data(), tail.size()) == 0;
}

bool is_vowel(char c) { return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u'; }

// Sorted, for binary search.
constexpr std::array<std::string_view, 143> kStopWords = {
    "about",   "above",   "actually", "after",   "again",   "all",      "also",     "am",
    "an",      "and",     "any",      "anything", "are",    "as",       "at",       "be",
    "because", "been",    "before",   "being",   "between", "both",     "but",      "by",
    "can",     "could",   "did",      "do",      "does",    "doesn",    "doing",    "don",
    "done",    "during",  "each",     "either",  "else",    "every",    "exactly",  "for",
    "from",    "get",     "gets",     "getting", "had",     "has",      "have",     "having",
    "here",    "how",     "if",       "in",      "into",    "is",       "isn",      "it",
    "its",     "just",    "let",      "like",    "ll",      "look",     "made",     "make",
    "makes",   "many",    "may",      "me",      "might",   "more",     "most",     "much",
    "must",    "my",      "need",     "needs",   "no",      "not",      "now",      "of",
    "on",      "once",    "one",      "only",    "onto",    "or",       "other",    "our",
    "out",     "own",     "please",   "really",  "same",    "see",      "should",   "so",
    "some",    "something", "such",   "than",    "that",    "the",      "their",    "them",
    "then",    "there",   "these",    "they",    "thing",   "things",   "this",     "those",
    "through", "to",      "too",      "up",      "us",      "use",      "used",     "uses",
    "using",   "ve",      "very",     "want",    "was",     "way",      "we",       "were",
    "what",    "when",    "where",    "whether", "which",   "while",    "who",      "why",
    "will",    "with",    "within",   "without", "would",   "you",      "your",
};
static_assert(std::is_sorted(kStopWords.begin(), kStopWords.end()));

// Stems the n lower-case bytes at w in place; the stem's length.
size_t stem_in_place(char* w, size_t n) {
  if (n <= 3) return n;
  size_t b = n;
  if (ends_with(w, b, "ies") && b > 4) {
    b -= 3;
    w[b] = 'y';
    return b + 1;
  }
  if (ends_with(w, b, "sses")) b -= 2;
  else if (w[b - 1] == 's' && !ends_with(w, b, "ss") && !ends_with(w, b, "us") && !ends_with(w, b, "is")) b -= 1;
  bool cut = false;
  for (std::string_view suffix : {"ing", "ion", "ed", "er"}) {
    const size_t keep = suffix == "ion" ? 4 : 3;
    if (ends_with(w, b, suffix) && b >= suffix.size() + keep) {
      b -= suffix.size();
      cut = true;
      break;
    }
  }
  // "mapping" and "map", "getter" and "get": a doubled last consonant goes.
  if (cut && b >= 3 && w[b - 1] == w[b - 2] && !is_vowel(w[b - 1]) && w[b - 1] != 'l' && w[b - 1] != 's' &&
      w[b - 1] != 'z')
    --b;
  // "parse" and "pars(ing)", "cache" and "cach(ed)".
  if (b > 3 && w[b - 1] == 'e') --b;
  return b;
}

}  // namespace

std::string stem(std::string_view word) {
  std::string out(word);
  out.resize(stem_in_place(out.data(), out.size()));
  return out;
}

std::string_view terms_detail::lower_stem(char* buf, std::string_view piece) {
  const size_t n = std::min(piece.size(), kMaxWord);
  for (size_t i = 0; i < n; ++i) {
    const char c = piece[i];
    buf[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  }
  return {buf, stem_in_place(buf, n)};
}

std::vector<std::string_view> identifier_parts(std::string_view word) {
  std::vector<std::string_view> out;
  terms_detail::split_pieces(word, [&](size_t start, size_t size) { out.push_back(word.substr(start, size)); });
  return out;
}

bool is_stop_word(std::string_view lower_word) {
  return std::binary_search(kStopWords.begin(), kStopWords.end(), lower_word);
}

}  // namespace kestrune::br
