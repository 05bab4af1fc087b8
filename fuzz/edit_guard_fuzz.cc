// The whole hook decision over arbitrary input. The input is the hook call,
// then optionally a NUL byte and the attention file's contents; without one
// a small fixed attention file is used, so that mutations of the call alone
// still reach the message.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kestrune/base/json.h"
#include "kestrune/base/text.h"
#include "kestrune/edit_guard/edit_guard.h"

namespace eg = kestrune::edit_guard;

namespace {

constexpr std::string_view DEFAULT_ATTENTION = R"({"actions": [
  {"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": 1700000000},
  {"kind": "register_edit", "payload": {"file": "src/app.py"}, "ts": 1699999000},
  {"kind": "read", "payload": {"file": "/fuzz-root/w/a/b"}, "ts": 1700000000},
  {"kind": "read", "payload": {"file": "/fuzz-root/w/a/b"}, "ts": 1700000100},
  {"kind": "edit_observation", "payload": {"file": "notes/plan.md"}, "ts": 1699990000.5}]})";

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  size_t nul = all.find('\0');
  std::string_view hook = all.substr(0, nul);
  std::string attention(nul == std::string_view::npos ? DEFAULT_ATTENTION : all.substr(nul + 1));

  eg::Host host;
  host.getenv = [](std::string_view name) -> std::optional<std::string> {
    if (name == "BR_DATA_DIR") return std::string("/fuzz-root/.braid");
    return std::nullopt;
  };
  host.now = [] { return int64_t{1700000000}; };
  host.cwd = "/fuzz-root/w";
  host.read_file = [&](const std::string&) -> std::optional<std::string> { return attention; };

  eg::Decision d = eg::decide(hook, host);
  check(d.verdict == eg::Verdict::Allow || d.verdict == eg::Verdict::Warn || d.verdict == eg::Verdict::Block);
  check(d.message.empty() == (d.verdict == eg::Verdict::Allow));
  if (d.verdict != eg::Verdict::Allow) {
    check(d.message.starts_with("Kestrune Edit Guard ["));
    // The message may carry undecodable bytes of the command (as lone
    // surrogates); what the hook prints must still be clean JSON text.
    const std::string out = eg::decision_json(d);
    check(kestrune::text::is_valid_utf8(out));
    kestrune::json::Value back = kestrune::json::parse(out);
    check(back["hookSpecificOutput"]["permissionDecisionReason"].as_string() == d.message);
  }
  return 0;
}
