#include "kestrune/br/terms.h"

#include <algorithm>
#include <array>

namespace kestrune::br {
namespace {

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
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

}  // namespace

void append_stem(std::string& out, std::string_view w) {
  if (w.size() <= 3) {
    out.append(w);
    return;
  }
  std::string_view base = w;
  bool plural_ies = false;
  if (ends_with(base, "ies") && base.size() > 4) {
    base.remove_suffix(3);
    plural_ies = true;
  } else if (ends_with(base, "sses")) {
    base.remove_suffix(2);
  } else if (base.back() == 's' && !ends_with(base, "ss") && !ends_with(base, "us") &&
             !ends_with(base, "is")) {
    base.remove_suffix(1);
  }
  if (plural_ies) {
    out.append(base).push_back('y');
    return;
  }
  bool cut = false;
  for (std::string_view suffix : {"ing", "ion", "ed", "er"}) {
    const size_t keep = suffix == "ion" ? 4 : 3;
    if (ends_with(base, suffix) && base.size() >= suffix.size() + keep) {
      base.remove_suffix(suffix.size());
      cut = true;
      break;
    }
  }
  // "mapping" and "map", "getter" and "get": a doubled last consonant goes.
  if (cut && base.size() >= 3 && base.back() == base[base.size() - 2] && !is_vowel(base.back()) &&
      base.back() != 'l' && base.back() != 's' && base.back() != 'z')
    base.remove_suffix(1);
  // "parse" and "pars(ing)", "cache" and "cach(ed)".
  if (base.size() > 3 && base.back() == 'e') base.remove_suffix(1);
  out.append(base);
}

std::string stem(std::string_view word) {
  std::string out;
  append_stem(out, word);
  return out;
}

void terms_detail::lower_stem(std::string& out, std::string_view piece) {
  char buf[64];
  const size_t n = std::min(piece.size(), sizeof buf);
  for (size_t i = 0; i < n; ++i) {
    const char c = piece[i];
    buf[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  }
  out.clear();
  append_stem(out, std::string_view(buf, n));
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
