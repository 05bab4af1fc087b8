#include "kestrune/br/needles.h"

#include <bit>

namespace kestrune::br {

NeedleSet::NeedleSet(std::vector<std::string> needles)
    : needles_(std::move(needles)), starts_(65536 / 64) {
  for (const auto& n : needles_) {
    bigrams_.push_back(bigram(n.data()));
    starts_[bigrams_.back() / 64] |= uint64_t{1} << (bigrams_.back() % 64);
  }
}

uint64_t NeedleSet::find_all(std::string_view text) const {
  if (needles_.empty() || text.size() < 2) return 0;
  const uint64_t all = needles_.size() == kMax ? ~uint64_t{0} : (uint64_t{1} << needles_.size()) - 1;
  uint64_t found = 0;
  const char* end = text.data() + text.size();
  for (const char* p = text.data(); p + 1 < end; ++p) {
    const uint32_t b = bigram(p);
    if (!(starts_[b / 64] >> (b % 64) & 1)) continue;
    const std::string_view rest(p, static_cast<size_t>(end - p));
    for (size_t i = 0; i < needles_.size(); ++i)
      if (bigrams_[i] == b && !(found >> i & 1) && rest.starts_with(needles_[i])) found |= uint64_t{1} << i;
    if (found == all) break;
  }
  return found;
}

TermCounter::TermCounter(const std::vector<std::string>& terms) {
  std::vector<std::string> long_terms;
  for (const auto& t : terms) {
    if (t.size() >= 2 && long_terms.size() < NeedleSet::kMax)
      long_terms.push_back(t);
    else
      other_terms_.push_back(t);
  }
  long_terms_ = NeedleSet(std::move(long_terms));
}

int TermCounter::count(std::string_view text) const {
  int n = std::popcount(long_terms_.find_all(text));
  for (const auto& t : other_terms_) n += text.find(t) != text.npos ? 1 : 0;
  return n;
}

}  // namespace kestrune::br
