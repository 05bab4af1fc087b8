#include "kestrune/br/query.h"

#include <algorithm>
#include <array>

#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"
#include "kestrune/br/contains.h"

namespace kestrune::br {
namespace {

constexpr std::array<std::string_view, 7> kIntentNames = {
    "debug", "explain", "test", "refactor", "feature", "edit", "general"};
constexpr std::array<std::string_view, 6> kRoleNames = {"docs",       "test",  "shared_ui",
                                                        "ui_surface", "logic", "code"};

constexpr std::array<std::string_view, 33> kStopWords = {
    "a",     "an",   "the",    "to",     "for",    "with",   "from",         "and",
    "or",    "of",   "on",     "in",     "by",     "you",    "your",         "can",
    "could", "should", "would", "will",  "want",   "need",   "please",       "fix",
    "update", "make", "show",  "differently", "different", "change", "do", "it",
    "api"};

struct IntentGroup {
  Intent intent;
  std::vector<std::string_view> phrases;
};

const std::vector<IntentGroup>& intent_groups() {
  static const std::vector<IntentGroup> groups = {
      {Intent::Explain, {"why", "explain", "architecture", "dependency", "how does"}},
      {Intent::Debug,
       {"error", "bug", "crash", "failing", "fail", "broken", "stack trace", "500", "404",
        "returning", "throws", "exception"}},
      {Intent::Test, {"test", "unit test", "integration test", "coverage"}},
      {Intent::Refactor, {"refactor", "cleanup", "simplify", "restructure", "optimize"}},
      {Intent::Feature, {"add", "create", "implement", "build", "support"}},
      {Intent::Edit, {"fix", "update", "change", "edit", "modify", "patch"}},
  };
  return groups;
}

// Rows follow Intent, columns follow Role (docs, test, shared_ui, ui_surface, logic, code).
constexpr int kWeights[7][6] = {
    /* debug    */ {-2, 2, 0, 2, 4, 2},
    /* explain  */ {2, 0, 0, 1, 2, 1},
    /* test     */ {-2, 5, 0, 1, 2, 1},
    /* refactor */ {-2, 2, 1, 2, 3, 3},
    /* feature  */ {-2, 1, 1, 3, 4, 2},
    /* edit     */ {-2, 1, 1, 3, 3, 2},
    /* general  */ {-1, 0, 0, 2, 2, 1},
};

bool is_ascii_word(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

std::string_view intent_name(Intent i) { return kIntentNames[static_cast<size_t>(i)]; }
std::string_view role_name(Role r) { return kRoleNames[static_cast<size_t>(r)]; }

Intent intent_from_name(std::string_view name) {
  for (size_t i = 0; i < kIntentNames.size(); ++i)
    if (kIntentNames[i] == name) return static_cast<Intent>(i);
  return Intent::General;
}

void lower_into(std::string& out, std::string_view s) {
  out.clear();
  unsigned char high = 0;
  for (unsigned char c : s) high |= c;  // no early exit, so the compiler reads wide
  if (high & 0x80) {
    out = text::lower(s);
    return;
  }
  out.resize(s.size());
  std::transform(s.begin(), s.end(), out.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
}

std::string_view lowered(std::string& buf, std::string_view s) {
  // No early exit: the compiler turns this loop into wide compares.
  unsigned char changes = 0;
  for (unsigned char c : s) changes |= static_cast<unsigned char>(static_cast<unsigned char>(c - 'A') < 26) | (c >> 7);
  if (!changes) return s;
  lower_into(buf, s);
  return buf;
}

Route extract_route(std::string_view query) {
  static const re::Regex route(R"(\b(GET|POST|PUT|DELETE|PATCH)\s+(/[\w/\-{}:]+))", re::I);
  static const re::Regex junk("[{}:<>]");
  auto m = route.search(query);
  if (!m) return {};
  Route r;
  r.method = text::upper(m->group(1));
  for (auto piece : text::split(text::strip(m->group(2), "/"), "/")) {
    std::string clean = junk.sub("", piece);
    if (clean.empty()) continue;
    std::string low = text::lower(clean);
    if (low != "api") r.segments.push_back(std::move(low));
  }
  return r;
}

std::vector<std::string> tokenize_query(std::string_view text) {
  std::string low;
  lower_into(low, text);
  std::vector<std::string> terms;
  for (size_t i = 0; i < low.size();) {
    if (!is_ascii_word(low[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < low.size() && is_ascii_word(low[j])) ++j;
    std::string_view run(low.data() + i, j - i);
    i = j;
    if (run.size() < 2) continue;
    if (std::find(kStopWords.begin(), kStopWords.end(), run) != kStopWords.end()) continue;
    if (std::any_of(terms.begin(), terms.end(), [&](const auto& t) { return t == run; })) continue;
    terms.emplace_back(run);
  }
  return terms;
}

Intent classify_intent(std::string_view query) {
  static const re::Regex route(R"(\b(GET|POST|PUT|DELETE|PATCH)\s+/\S+)", re::I);
  if (route.contains(query)) return Intent::Debug;
  std::string low;
  lower_into(low, query);
  for (const auto& group : intent_groups())
    for (auto phrase : group.phrases)
      if (contains(low, phrase)) return group.intent;
  return Intent::General;
}

Role node_role(std::string_view path, std::string_view ext) {
  if (ext == ".md") return Role::Docs;
  thread_local std::string p;  // called for every node: no allocation per call
  lower_into(p, path);
  return node_role(p, ext, PathWords(p));
}

Role node_role(std::string_view p, std::string_view ext, const PathWords& words) {
  using enum PathWord;
  if (ext == ".md") return Role::Docs;
  if (words.any({Test, Tests}) || p.ends_with(".test.ts") || p.ends_with(".spec.ts") ||
      p.ends_with(".test.tsx") || p.ends_with(".spec.tsx"))
    return Role::Test;
  if (words.has(ComponentsUi)) return Role::SharedUi;
  if (words.any({Pages, ComponentsFeatures, Views, Screens})) return Role::UiSurface;
  if (words.any({Api, Services, Store, Hooks, Utils})) return Role::Logic;
  return Role::Code;
}

int intent_role_weight(Intent intent, Role role) {
  return kWeights[static_cast<size_t>(intent)][static_cast<size_t>(role)];
}

int intent_role_weight(std::string_view intent, std::string_view role) {
  for (size_t r = 0; r < kRoleNames.size(); ++r)
    if (kRoleNames[r] == role) return intent_role_weight(intent_from_name(intent), static_cast<Role>(r));
  return 0;
}

Query analyse_query(std::string_view query, std::vector<std::string> terms) {
  Query q;
  q.text = std::string(query);
  lower_into(q.lower, query);
  q.terms = std::move(terms);
  q.term_counter = TermCounter(q.terms);
  q.intent = classify_intent(query);
  q.route = extract_route(query);
  lower_into(q.method_lower, q.route.method);
  const std::string& s = q.lower;
  q.restaurant = contains(s, "restaurant");
  q.customer = contains(s, "customer");
  q.admin = contains(s, "admin");
  q.money = contains_any(s, {"payment", "invoice", "checkout"});
  q.ui_words = contains_any(s, {"button", "modal", "card", "table", "form", "badge", "page", "screen"});
  q.button = contains(s, "button");
  q.badge = contains(s, "badge");
  q.button_status = q.button && contains_any(s, {"status", "payment", "checkout", "invoice"});
  q.ui_kit_penalty = contains_any(s, {"portal", "checkout", "invoice", "payment", "order", "restaurant",
                                 "customer", "admin"}) &&
                     !contains_any(s, {"global", "shared", "design system", "reusable"});
  return q;
}

}  // namespace kestrune::br
