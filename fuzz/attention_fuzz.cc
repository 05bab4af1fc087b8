// The attention recorder over arbitrary input: the hook call, then
// optionally a NUL byte and the attention file's bytes (a small file of
// several writers when there is none). The writer refuses exactly the files
// the guard cannot read, and what it writes the guard reads, with the new
// action last and no more than it keeps; the one-pass scanner agrees with
// the document reader wherever it decides.
#include <cstdint>
#include <string>
#include <string_view>

#include "kestrune/attention/attention.h"
#include "kestrune/base/attention.h"

namespace at = kestrune::attention;

namespace {

constexpr int64_t NOW = 1700000000;
constexpr std::string_view DEFAULT_FILE = R"({"version": 1, "meta": {"x": [1, 2.5, null]}, "actions": [
{"kind": "read", "payload": {"file": "src/a.py", "tool": "Read", "session": "s"}, "ts": 1699999000},
{"kind": "tool_call", "payload": null, "ts": 1600000000},
{"kind": "register_edit", "payload": {"file": "/abs/b.py"}, "ts": 1699990000.5}]})";

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const size_t nul = all.find('\0');
  const std::string_view hook = all.substr(0, nul);
  const std::string file(nul == std::string_view::npos ? DEFAULT_FILE : all.substr(nul + 1));

  std::optional<at::HookCall> call = at::hook_call(hook, {"", "", "/fuzz-root/w"});
  const at::NewAction action = call ? call->action : at::NewAction{"read", "x.py", "Read", ""};
  if (call) check(call->place.file == call->place.data_dir + "/chat_action_graph.json");

  // The one-pass scanner, where it decides, reads what the document reader reads.
  std::vector<at::Action> scanned;
  if (at::scan_actions(file, scanned)) check(at::read_actions(file) == scanned);

  std::optional<std::string> out = at::updated(file, {&action, 1}, NOW);
  check(out.has_value() == at::parse_actions(file).has_value());
  if (!out) return 0;
  std::optional<at::Layout> layout = at::read_layout(*out);
  check(layout && at::parse_actions(*out));
  check(!layout->entries.empty() && layout->entries.size() <= at::MAX_ACTIONS && layout->entries.back().ts == NOW);
  for (const at::Layout::Entry& e : layout->entries) check(e.ts >= NOW - at::MAX_AGE_SECONDS);
  return 0;
}
