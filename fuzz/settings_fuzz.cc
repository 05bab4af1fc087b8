// Merging our hooks into arbitrary settings files: a file we refuse is
// refused whole; otherwise the merged file reads back, merging again changes
// nothing, and removing leaves nothing of ours (and removing again nothing).
#include <cstdint>
#include <string_view>

#include "kestrune/base/json.h"
#include "kestrune/hooks/hooks.h"
#include "kestrune/hooks/settings.h"

namespace hk = kestrune::hooks;
namespace json = kestrune::json;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  json::Value doc;
  try {
    doc = hk::parse_settings(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const hk::MalformedSettings&) {
    return 0;
  }
  std::vector<hk::Entry> entries;
  for (const hk::Hook& h : hk::our_hooks()) entries.push_back(hk::entry(h, {"/opt/k/bin", "/p r'oj"}));

  json::Value merged = doc;
  try {
    hk::merge_entries(merged, entries);
  } catch (const hk::MalformedSettings&) {
    json::Value again = doc;
    bool refused = false;
    try {
      hk::remove_entries(again, entries);
    } catch (const hk::MalformedSettings&) {
      refused = true;
    }
    check(refused || json::dumps(again) == json::dumps(doc));
    return 0;
  }
  check(json::dumps(json::parse(hk::render_settings(merged))) == json::dumps(merged));
  for (const hk::Entry& e : entries) check(hk::find_ours(merged, e).size() == 1);
  json::Value twice = merged;
  check(!hk::merge_entries(twice, entries));

  json::Value removed = merged;
  hk::remove_entries(removed, entries);
  for (const hk::Entry& e : entries) check(hk::find_ours(removed, e).empty());
  check(!hk::remove_entries(removed, entries));
  return 0;
}
