// Counting which query terms occur in a text, for texts by the hundred thousand.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::br {

// count(text) is the number of terms (each listed term once) that occur in
// `text`. Testing each term with its own search reads the text once per term;
// this reads it once, checking each two-byte window against a table of the
// terms' first two bytes and comparing whole terms only where that matches.
class TermCounter {
 public:
  TermCounter() = default;
  explicit TermCounter(const std::vector<std::string>& terms);

  int count(std::string_view text) const;

 private:
  static uint32_t bigram(const char* p) {
    return static_cast<unsigned char>(p[0]) | static_cast<uint32_t>(static_cast<unsigned char>(p[1])) << 8;
  }

  std::vector<std::string> long_terms_;   // two bytes or more, at most 64 of them
  std::vector<uint32_t> long_bigrams_;    // the first two bytes of each
  std::vector<uint64_t> starts_;          // one bit per bigram that begins a long term
  std::vector<std::string> other_terms_;  // shorter ones and any past the 64th: searched one by one
};

}  // namespace kestrune::br
