#include "kestrune/br/capability.h"

#include <algorithm>
#include <set>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"

namespace kestrune::br {

std::vector<CapabilityEntry> parse_capability_index(std::string_view content) {
  std::vector<CapabilityEntry> out;
  CapabilityEntry cur;
  auto flush = [&] {
    if (!cur.name.empty() && (!cur.keywords.empty() || !cur.files.empty()))
      out.push_back(std::move(cur));
    cur = CapabilityEntry{};
  };
  for (auto raw : text::splitlines(content)) {
    std::string_view line = text::strip(raw);
    if (line.empty()) continue;
    if (text::starts_with(line, "## ")) {
      flush();
      cur.name = std::string(text::strip(line.substr(3)));
    } else if (text::starts_with(text::lower(line), "keywords:")) {
      cur.keywords.clear();
      for (auto piece : text::split(line.substr(line.find(':') + 1), ",")) {
        std::string kw = text::lower(text::strip(piece));
        if (!kw.empty()) cur.keywords.push_back(std::move(kw));
      }
    } else if (text::starts_with(line, "- ")) {
      std::string_view file = text::strip(text::strip(line.substr(2)), "`");
      if (text::contains(file, "/") && text::contains(file, "."))
        cur.files.emplace_back(file);
    }
  }
  flush();
  return out;
}

std::vector<CapabilityEntry> load_capability_index(const std::string& path) {
  // Only a regular file is an index: a directory (BR_CAPABILITY_INDEX set to ""
  // names the working directory) or a FIFO counts as none.
  std::optional<std::string> text = fs::read_text_if_file(path, text::Errors::Drop);
  if (!text) return {};
  return parse_capability_index(*text);
}

void CapabilityBoosts::raise(const std::string& file, long long boost) {
  auto [it, added] = index_.try_emplace(file, entries_.size());
  if (added) {
    entries_.emplace_back(file, boost);
    return;
  }
  auto& current = entries_[it->second].second;
  current = std::max(current, boost);
}

const long long* CapabilityBoosts::find(std::string_view file) const {
  auto it = index_.find(file);
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

CapabilityBoosts capability_file_boosts(const std::vector<std::string>& query_terms,
                                        const std::vector<CapabilityEntry>& caps) {
  std::set<std::string_view> terms(query_terms.begin(), query_terms.end());
  CapabilityBoosts boosts;
  for (const auto& cap : caps) {
    std::set<std::string> keywords;
    for (const auto& k : cap.keywords) keywords.insert(text::lower(k));
    long long overlap = std::count_if(keywords.begin(), keywords.end(),
                                      [&](const std::string& k) { return terms.count(k) > 0; });
    if (overlap == 0) continue;
    for (const auto& file : cap.files) boosts.raise(file, 4 + 2 * overlap);
  }
  return boosts;
}

}  // namespace kestrune::br
