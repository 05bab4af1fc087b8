#include "kestrune/br/needles.h"

#include <algorithm>
#include <bit>

namespace kestrune::br {

NeedleSet::NeedleSet(std::vector<std::string> needles)
    : needles_(std::move(needles)), first_(65536), next_(needles_.size()) {
  // Chained from the last so that each chain runs in needle order.
  for (size_t i = needles_.size(); i-- > 0;) {
    const uint16_t b = bigram(needles_[i].data());
    next_[i] = first_[b];
    first_[b] = static_cast<uint8_t>(i + 1);
  }
}

uint64_t NeedleSet::find_all(std::string_view text) const {
  if (needles_.empty() || text.size() < 2) return 0;
  const uint64_t all = needles_.size() == kMax ? ~uint64_t{0} : (uint64_t{1} << needles_.size()) - 1;
  const uint8_t* first = first_.data();
  uint64_t found = 0;
  const char* end = text.data() + text.size();
  for (const char* p = text.data(); p + 1 < end; ++p) {
    uint8_t c = first[bigram(p)];
    if (!c) continue;
    const size_t left = static_cast<size_t>(end - p);
    for (; c; c = next_[c - 1]) {
      const std::string& n = needles_[c - 1];
      if (n.size() > left) continue;
      // Needles are short: comparing byte by byte beats a call to memcmp.
      const char* a = n.data() + 2;
      const char* b = p + 2;
      const char* a_end = n.data() + n.size();
      while (a != a_end && *a == *b) ++a, ++b;
      if (a == a_end) found |= uint64_t{1} << (c - 1);
    }
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
  by_mask_ = other_terms_.empty() &&
             std::none_of(long_terms.begin(), long_terms.end(), [](const auto& t) { return t.find(' ') != t.npos; });
  long_terms_ = NeedleSet(std::move(long_terms));
}

int TermCounter::count(std::string_view text) const {
  int n = std::popcount(long_terms_.find_all(text));
  for (const auto& t : other_terms_) n += text.find(t) != text.npos ? 1 : 0;
  return n;
}

}  // namespace kestrune::br
