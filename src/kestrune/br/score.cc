#include "kestrune/br/score.h"

#include <algorithm>

#include "kestrune/br/contains.h"

namespace kestrune::br {
namespace {

void join_keywords(std::string& out, std::span<const std::string_view> keywords) {
  out.clear();
  for (size_t i = 0; i < keywords.size(); ++i) {
    if (i) out += ' ';
    out += keywords[i];
  }
}

std::string_view text_of(const json::Value& v, TextArena& arena) {
  if (v.is_string()) return v.as_string();
  return arena.emplace_back(json::py_str(v));
}

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return (c & 0x80) == 0; });
}

// Per-thread scratch buffers: scoring runs for every node and should not allocate.
struct Scratch {
  std::string path, ext, low, joined;
};

}  // namespace

NodeFields node_fields(const json::Value& node, std::vector<std::string_view>& keywords,
                       TextArena& arena) {
  if (!node.is_object()) throw TypeError("node must be a dict");
  NodeFields f;
  if (const auto* id = node.find("id")) {
    f.id = text_of(*id, arena);
    f.id_is_str = id->is_string();
  }
  if (const auto* ext = node.find("ext")) f.ext = text_of(*ext, arena);
  if (const auto* summary = node.find("summary"); summary && !summary->is_null()) {
    if (!summary->is_string()) throw TypeError("node summary must be str or None");
    f.summary = summary->as_string();
  }
  keywords.clear();
  if (const auto* kw = node.find("keywords"); kw && !kw->is_null()) {
    if (!kw->is_array()) throw TypeError("node keywords must be a list or None");
    for (const auto& k : kw->as_array()) {
      if (!k.is_string()) throw TypeError("node keywords must be a list of str");
      keywords.push_back(k.as_string());
    }
  }
  f.keywords = keywords;
  const auto* kind = node.find("kind");
  f.is_symbol = kind && kind->is_string() && kind->as_string() == "symbol";
  const auto* conf = node.find("confidence");
  f.confidence_high = conf && conf->is_string() && conf->as_string() == "high";
  return f;
}

int count_terms(std::string_view lowered, const std::vector<std::string>& terms) {
  int n = 0;
  for (const auto& t : terms) n += contains(lowered, t) ? 1 : 0;
  return n;
}

int score_text(std::string_view text, const std::vector<std::string>& terms) {
  std::string low;
  lower_into(low, text);
  return count_terms(low, terms);
}

bool query_scoped_to_feature(std::string_view q) {
  return contains_any(q, {"portal", "checkout", "invoice", "payment", "order", "restaurant", "customer",
                     "admin"});
}

long long score_fields(const NodeFields& node, const Query& q, Role* role_out) {
  using enum PathWord;
  thread_local Scratch sc;
  const std::string_view path = lowered(sc.path, node.id);
  const std::string_view ext = lowered(sc.ext, node.ext);
  const PathWords words(path);
  // Roles lower the path once more; only non-ASCII text could change by that.
  const Role role = is_ascii(path) ? node_role(path, ext, words) : node_role(path, ext);
  if (role_out) *role_out = role;

  long long score = 3LL * q.term_counter.count(path);
  if (!node.summary.empty()) score += 3LL * q.term_counter.count(lowered(sc.low, node.summary));
  join_keywords(sc.joined, node.keywords);
  if (!node.keywords.empty()) score += 2LL * q.term_counter.count(lowered(sc.low, sc.joined));
  if (!q.route.segments.empty()) {
    const size_t kw_len = sc.joined.size();
    sc.joined += ' ';
    sc.joined += path;
    for (const auto& seg : q.route.segments) score += contains(sc.joined, seg) ? 4 : 0;
    sc.joined.resize(kw_len);
    if (!q.method_lower.empty() && contains(sc.joined, q.method_lower)) score += 3;
  }
  score += intent_role_weight(q.intent, role);
  if (ext == ".py" || ext == ".ts" || ext == ".tsx" || ext == ".js" || ext == ".jsx" || ext == ".go")
    score += 4;
  else if (ext == ".md")
    score -= 2;
  if (words.any({NodeModules, SitePackages, Venv, DotVenv})) score -= 10;
  const bool ui_kit = words.has(ComponentsUi);
  if (ui_kit) score -= 1;
  if (words.any({ComponentsFeatures, Pages, Api})) score += 2;
  if (q.restaurant && words.has(RestaurantPortal)) score += 4;
  if (q.customer && words.has(CustomerPortal)) score += 4;
  if (q.admin && words.has(AdminPortal)) score += 4;
  if (q.money && words.any({Payment, Invoice, Checkout, Order})) score += 3;
  if (q.ui_words) {
    if (role == Role::UiSurface) score += 4;
    if (words.any({Card, Modal, Details, List, Table, Orders, Checkout})) score += 3;
    if (q.button_status) {
      if (words.any({Card, Modal, Detail})) score += 4;
      if (words.any({List, Table, Pages})) score -= 3;
    }
    if (ui_kit && q.ui_kit_penalty) score -= 2;
  }
  if (role == Role::Docs && (q.intent == Intent::Edit || q.intent == Intent::Feature ||
                             q.intent == Intent::Debug || q.intent == Intent::Refactor))
    score -= 3;
  if (node.is_symbol) score += node.confidence_high ? 5 : 3;
  return score;
}

long long score_node(const json::Value& node, const std::vector<std::string>& terms,
                     std::string_view query) {
  std::vector<std::string_view> keywords;
  TextArena arena;
  NodeFields f = node_fields(node, keywords, arena);
  return score_fields(f, analyse_query(query, terms));
}

}  // namespace kestrune::br
