#include "kestrune/treescan/peers.h"

#include <map>
#include <optional>
#include <unordered_map>

#include "kestrune/base/fs.h"
#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"

namespace kestrune::treescan {

const std::pair<std::string_view, std::string_view> PEER_PAIRS[22] = {
    {"^routes?$", "^middlewares?$"},      {"^route$", "^middlewares?$"},
    {"^router$", "^middlewares?$"},       {"^routes?$", "^guards?$"},
    {"^routes?$", "^interceptors?$"},     {"^controllers?$", "^services?$"},
    {"^handlers?$", "^middlewares?$"},    {"^handlers?$", "^validators?$"},
    {"^views?$", "^serializers?$"},       {"^views?$", "^schemas?$"},
    {"^resolvers?$", "^guards?$"},        {"^resolvers?$", "^interceptors?$"},
    {"^models?$", "^schemas?$"},          {"^models?$", "^migrations?$"},
    {"^auth$", "^guards?$"},              {"^auth$", "^permissions?$"},
    {"^auth$", "^policies$"},             {"^auth$", "^middlewares?$"},
    {"^handlers?$", "^routers?$"},        {"^services?$", "^repositor(?:y|ies)$"},
    {"^services?$", "^repos?$"},          {"^routes?$", "^dep(endencies)?s?$"},
};

namespace {

// The distinct patterns of the table, compiled once, and each row as two
// indexes into them.
struct PeerTable {
  std::vector<re::Regex> patterns;
  std::vector<std::pair<size_t, size_t>> rows;

  PeerTable() {
    std::map<std::string_view, size_t> index;
    auto id = [&](std::string_view p) {
      auto [it, added] = index.emplace(p, patterns.size());
      if (added) patterns.emplace_back(p, re::I);
      return it->second;
    };
    for (const auto& [x, y] : PEER_PAIRS) rows.emplace_back(id(x), id(y));
  }
};

// The stem: the file name without its last extension, lower-cased; nothing
// for a stem that is not valid UTF-8 (its undecodable byte matches no pattern).
std::optional<std::string> stem(std::string_view id) {
  const std::string name = fs::name(id);
  const std::string_view stem = std::string_view(name).substr(0, name.size() - fs::suffix(name).size());
  if (!text::is_valid_utf8(stem)) return std::nullopt;
  return text::lower(stem);
}

}  // namespace

std::vector<lexscan::Edge> structural_peer_edges(const std::vector<std::string>& file_ids) {
  static const PeerTable table;
  static_assert(sizeof(uint64_t) * 8 >= 22);

  // Directories in the order they first appear; in each, the files whose stem
  // matches some pattern, with the set of patterns it matches. Other files
  // can pair with nothing and are left out, which keeps the order of the rest.
  struct Member {
    const std::string* id;
    uint64_t matches;
  };
  std::vector<std::vector<Member>> groups;
  std::unordered_map<std::string, size_t> group_of;
  for (const std::string& id : file_ids) {
    auto [it, added] = group_of.emplace(fs::parent(id), groups.size());
    if (added) groups.emplace_back();
    // A name the file system gave in no valid UTF-8 spells none of the words.
    const std::optional<std::string> s = stem(id);
    if (!s) continue;
    uint64_t matches = 0;
    for (size_t p = 0; p < table.patterns.size(); ++p)
      if (table.patterns[p].search(re::Valid(*s))) matches |= uint64_t{1} << p;
    if (matches) groups[it->second].push_back({&id, matches});
  }

  std::vector<lexscan::Edge> edges;
  for (const auto& members : groups) {
    for (size_t i = 0; i < members.size(); ++i)
      for (size_t j = i + 1; j < members.size(); ++j) {
        const uint64_t a = members[i].matches, b = members[j].matches;
        for (const auto& [x, y] : table.rows) {
          const uint64_t mx = uint64_t{1} << x, my = uint64_t{1} << y;
          if (((a & mx) && (b & my)) || ((a & my) && (b & mx))) {
            edges.push_back({*members[i].id, *members[j].id, "structural_peer"});
            edges.push_back({*members[j].id, *members[i].id, "structural_peer"});
            break;
          }
        }
      }
  }
  return edges;
}

}  // namespace kestrune::treescan
