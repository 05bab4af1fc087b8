#include "kestrune/br/path_words.h"

#include "kestrune/br/needles.h"

namespace kestrune::br {

PathWords::PathWords(std::string_view lowered_path) {
  // In PathWord order.
  static const NeedleSet kWords({
      "/test/", "/tests/", "/components/ui/", "/components/features/", "/pages/", "/views/",
      "/screens/", "/api/", "/services/", "/store/", "/hooks/", "/utils/", "node_modules/",
      "site-packages/", "/venv/", "/.venv/", "restaurant-portal/", "customer-portal/",
      "admin-portal/", "payment", "invoice", "checkout", "order", "orders", "card", "modal",
      "detail", "details", "list", "table",
  });
  bits_ = kWords.find_all(lowered_path);
}

}  // namespace kestrune::br
