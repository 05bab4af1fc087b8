// Finding which of several short strings occur in a text, for texts by the
// hundred thousand: ids, summaries, keyword lists, edges written out.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::br {

// Up to 64 needles of two bytes or more, found in one pass over a text:
// each two-byte window is checked against a table of the needles' first two
// bytes, and only the needles beginning with that window are compared. Searching
// for each needle in turn would read the text once per needle.
class NeedleSet {
 public:
  static constexpr size_t kMax = 64;

  NeedleSet() = default;
  explicit NeedleSet(std::vector<std::string> needles);

  // Bit i is set when needle i occurs in `text`.
  uint64_t find_all(std::string_view text) const;

 private:
  static uint16_t bigram(const char* p) {
    uint16_t b;
    std::memcpy(&b, p, 2);
    return b;
  }

  // Needles by their first two bytes: first_[bigram] is 1 + the first needle
  // beginning with it (0: none), next_[i] is 1 + the next one after needle i.
  std::vector<std::string> needles_;
  std::vector<uint8_t> first_, next_;
};

// count(text) == count_terms(text, terms): the number of listed terms (each
// listing counted) that occur in `text`.
class TermCounter {
 public:
  TermCounter() = default;
  explicit TermCounter(const std::vector<std::string>& terms);

  int count(std::string_view text) const;

  // Pieces of a text joined by spaces: when no term holds a space, none can
  // straddle a joint, so count(a + " " + b) == popcount(mask(a) | mask(b)).
  // mask() is defined only when by_mask() holds (at most 64 terms, each of
  // two bytes or more, none with a space).
  bool by_mask() const { return by_mask_; }
  uint64_t mask(std::string_view piece) const { return long_terms_.find_all(piece); }

 private:
  NeedleSet long_terms_;
  std::vector<std::string> other_terms_;  // shorter ones and any past the 64th: searched one by one
  bool by_mask_ = true;
};

}  // namespace kestrune::br
