// Query analysis: what a question asks for (route, terms, intent) and what
// role a file plays. Pure functions of their arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kestrune/br/needles.h"
#include "kestrune/br/path_words.h"

namespace kestrune::br {

enum class Intent { Debug, Explain, Test, Refactor, Feature, Edit, General };
enum class Role { Docs, Test, SharedUi, UiSurface, Logic, Code };

std::string_view intent_name(Intent i);
std::string_view role_name(Role r);
// An unknown name reads as General.
Intent intent_from_name(std::string_view name);

struct Route {
  std::string method;                 // upper case, "" when the query names no route
  std::vector<std::string> segments;  // lower case, "api" and empty pieces dropped
  bool operator==(const Route&) const = default;
};

Route extract_route(std::string_view query);
std::vector<std::string> tokenize_query(std::string_view text);
Intent classify_intent(std::string_view query);
Role node_role(std::string_view path, std::string_view ext);
// The same for a path lower-cased already, with the fragments found in it.
Role node_role(std::string_view lowered_path, std::string_view ext, const PathWords& words);
int intent_role_weight(Intent intent, Role role);
// By name, as the Python face takes them: an unknown intent reads as "general",
// an unknown role weighs 0.
int intent_role_weight(std::string_view intent, std::string_view role);

// Lower-cases `s` into `out` (replacing its contents): ASCII directly, anything
// else with Python's full case mapping.
void lower_into(std::string& out, std::string_view s);
// `s` lower-cased: `s` itself when nothing in it changes (ASCII without
// capitals), otherwise lowered into `buf`.
std::string_view lowered(std::string& buf, std::string_view s);

// Everything about one question that scoring needs, derived once.
struct Query {
  std::string text;   // as asked
  std::string lower;  // q
  std::vector<std::string> terms;
  TermCounter term_counter;  // counts `terms`
  Intent intent = Intent::General;
  Route route;
  std::string method_lower;
  // Vocabulary tests on q that are the same for every node.
  bool restaurant = false, customer = false, admin = false, money = false;
  bool ui_words = false, button = false, badge = false, button_status = false;
  bool ui_kit_penalty = false;  // feature-scoped and not asking for shared components
};

Query analyse_query(std::string_view query, std::vector<std::string> terms);
inline Query analyse_query(std::string_view query) {
  return analyse_query(query, tokenize_query(query));
}

}  // namespace kestrune::br
