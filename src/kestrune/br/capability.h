// The capability index: a hand-written Markdown map from product capabilities
// to the files that implement them, used to boost those files in retrieval.
#pragma once

#include <string>
#include <string_view>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrune::br {

struct CapabilityEntry {
  std::string name;
  std::vector<std::string> keywords;  // lower case
  std::vector<std::string> files;     // project-relative paths or path prefixes
  bool operator==(const CapabilityEntry&) const = default;
};

// The entries of the index at `path`; none when it does not exist (or is not a file).
std::vector<CapabilityEntry> load_capability_index(const std::string& path);
std::vector<CapabilityEntry> parse_capability_index(std::string_view text);

// File string -> boost, in the order files were first boosted.
class CapabilityBoosts {
 public:
  void raise(const std::string& file, long long boost);
  const std::vector<std::pair<std::string, long long>>& entries() const { return entries_; }
  const long long* find(std::string_view file) const;
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<std::pair<std::string, long long>> entries_;
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, size_t, Hash, std::equal_to<>> index_;
};

CapabilityBoosts capability_file_boosts(const std::vector<std::string>& query_terms,
                                        const std::vector<CapabilityEntry>& caps);

}  // namespace kestrune::br
