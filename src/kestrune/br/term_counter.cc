#include "kestrune/br/term_counter.h"

#include <bit>

namespace kestrune::br {

TermCounter::TermCounter(const std::vector<std::string>& terms) : starts_(65536 / 64) {
  for (const auto& t : terms) {
    if (t.size() >= 2 && long_terms_.size() < 64) {
      long_terms_.push_back(t);
      long_bigrams_.push_back(bigram(t.data()));
      starts_[long_bigrams_.back() / 64] |= uint64_t{1} << (long_bigrams_.back() % 64);
    } else {
      other_terms_.push_back(t);
    }
  }
}

int TermCounter::count(std::string_view text) const {
  int n = 0;
  for (const auto& t : other_terms_) n += text.find(t) != text.npos ? 1 : 0;
  if (long_terms_.empty() || text.size() < 2) return n;
  const uint64_t all = long_terms_.size() == 64 ? ~uint64_t{0} : (uint64_t{1} << long_terms_.size()) - 1;
  uint64_t found = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  for (; p + 1 < end; ++p) {
    const uint32_t b = bigram(p);
    if (!(starts_[b / 64] >> (b % 64) & 1)) continue;
    const std::string_view rest(p, static_cast<size_t>(end - p));
    for (size_t i = 0; i < long_terms_.size(); ++i)
      if (long_bigrams_[i] == b && !(found >> i & 1) && rest.starts_with(long_terms_[i]))
        found |= uint64_t{1} << i;
    if (found == all) break;
  }
  return n + std::popcount(found);
}

}  // namespace kestrune::br
