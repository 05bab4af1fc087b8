// The fixed path fragments that role assignment and scoring test a node's
// (lower-cased) id for, all found in one pass over the id.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace kestrune::br {

enum class PathWord {
  Test, Tests, ComponentsUi, ComponentsFeatures, Pages, Views, Screens, Api, Services, Store,
  Hooks, Utils, NodeModules, SitePackages, Venv, DotVenv, RestaurantPortal, CustomerPortal,
  AdminPortal, Payment, Invoice, Checkout, Order, Orders, Card, Modal, Detail, Details, List,
  Table,
};

class PathWords {
 public:
  explicit PathWords(std::string_view lowered_path);

  bool has(PathWord w) const { return bits_ >> static_cast<int>(w) & 1; }
  bool any(std::initializer_list<PathWord> ws) const {
    for (PathWord w : ws)
      if (has(w)) return true;
    return false;
  }

 private:
  uint64_t bits_;
};

}  // namespace kestrune::br
