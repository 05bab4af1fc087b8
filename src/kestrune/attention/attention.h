// Writing the assistant's attention record, chat_action_graph.json.
//
// Every writer of the file goes through record(): the PostToolUse hook
// (`attention record`), and any tool that records what the assistant read or
// declares it edited. Reading it and scoring files is base/attention.h, the
// same code the edit guard decides with.
//
// The contract of the file, as record() keeps it:
//  - {"version": 1, "actions": [...]} for a new file; a file that is there
//    keeps its other top-level members, in their order, as written;
//  - one action per line, oldest first, each
//      {"kind": K, "payload": {"file": F, "tool": T, "session": S}, "ts": N}
//    with N whole seconds since the epoch; actions of other writers (other
//    kinds, other fields) are kept as they were written;
//  - no action older than MAX_AGE_SECONDS, at most MAX_ACTIONS of them;
//  - replaced whole, under an exclusive lock on "<file>.lock" beside it, so
//    that writers running at once (the assistant runs tools in parallel)
//    never lose an action;
//  - a file the guard could not read (not JSON, another shape) is never
//    overwritten: it is renamed to "<file>.bad" (".bad.1" ... ".bad.9" when
//    that is taken) and a new one started.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/attention.h"

namespace kestrune::attention {

// Older actions can no longer matter (2^-24 of their weight); they are dropped on write.
inline constexpr int64_t MAX_AGE_SECONDS = 24 * 3600;
inline constexpr size_t MAX_ACTIONS = 5000;
// How long record() waits for another writer before giving up.
inline constexpr int LOCK_WAIT_MS = 10000;

// Kinds the hook and tools record (base/attention.h weighs them).
inline constexpr std::string_view READ = "read";
inline constexpr std::string_view READ_CACHE_HIT = "read_cache_hit";
inline constexpr std::string_view REGISTER_EDIT = "register_edit";
inline constexpr std::string_view EDIT_OBSERVATION = "edit_observation";

// One action to record.
struct NewAction {
  std::string kind;
  std::string file;  // as stored: see stored_path()
  std::string tool;
  std::string session;
};

// ---- where -------------------------------------------------------------------

// Where a project's attention file is, and the root its relative paths are
// relative to (the one the guard resolves them against).
struct Place {
  std::string data_dir;  // "<root>/.braid", or BR_DATA_DIR
  std::string file;      // data_dir/chat_action_graph.json
  std::string root;      // the data directory's parent
};

// `br_data_dir` (BR_DATA_DIR) when non-empty, else `root`/.braid; both made
// absolute against the working directory.
Place place_for(std::string_view root, std::string_view br_data_dir = {});

// `file` as the record stores it: relative to `root` when it lies inside it
// (lexically, or once links are resolved), else absolute; a relative `file`
// is taken from `base`. Both `root` and `base` are absolute.
std::string stored_path(std::string_view file, std::string_view base, std::string_view root);

// ---- writing -------------------------------------------------------------------

// Another writer held the lock for LOCK_WAIT_MS.
struct LockTimeout : std::runtime_error {
  explicit LockTimeout(const std::string& lock_file);
};

// The text of the file after recording `actions` stamped `now` into
// `existing` (nullopt: there is no file yet): actions older than
// MAX_AGE_SECONDS dropped, then the oldest beyond MAX_ACTIONS. nullopt when
// `existing` is malformed (what parse_actions() refuses). Pure: no I/O.
std::optional<std::string> updated(std::optional<std::string_view> existing, std::span<const NewAction> actions,
                                   int64_t now);

struct Recorded {
  size_t actions = 0;       // in the file now
  std::string moved_aside;  // where a malformed file went; empty when there was none
};

// Records `actions` at `now` in the attention file `file` (its directory
// created when missing), under the lock. Throws LockTimeout, or fs::OsError
// when the file cannot be read or written (it is then as it was).
Recorded record(const std::string& file, std::span<const NewAction> actions, int64_t now);

// ---- reading -------------------------------------------------------------------

// The per-file records of the attention file `file` as the guard tallies
// them (base/attention.h), in first-appearance order; empty when there is no
// file. Throws fs::OsError when it cannot be read, std::runtime_error when it
// is malformed.
std::vector<Record> load_records(const std::string& file, int64_t now);

// Those at or above THRESHOLD, highest first (ties in file order): what the
// guard would warn about.
std::vector<Record> at_risk(std::vector<Record> records);

// ---- the hook ------------------------------------------------------------------

// What a hook call may learn of its surroundings.
struct HookEnv {
  std::string claude_project_dir;  // CLAUDE_PROJECT_DIR ("" when unset)
  std::string br_data_dir;         // BR_DATA_DIR ("" when unset)
  std::string cwd;                 // the working directory (absolute)
};

struct HookCall {
  Place place;
  NewAction action;
};

// The action one PostToolUse hook call records, and where; nullopt for a call
// that records nothing (another tool, no file, input that is not a hook object).
// Read records "read"; Write, Edit, MultiEdit and NotebookEdit "edit_observation".
// The project root is CLAUDE_PROJECT_DIR, else the hook's "cwd", else env.cwd.
std::optional<HookCall> hook_call(std::string_view input, const HookEnv& env);

// The command: `attention record` (the hook) and `attention show [--root R]`.
int command_main(int argc, char** argv);

}  // namespace kestrune::attention
