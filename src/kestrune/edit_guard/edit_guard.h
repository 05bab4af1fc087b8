// The PreToolUse hook: warns before the assistant touches files it has worked
// on heavily, and blocks destructive shell commands on them.
//
// decide() is the whole decision, free of ambient state: the clock, the
// environment, the working directory and file reads come in through a Host,
// so tests and the fuzzer drive it directly. run() is the command around it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "kestrune/base/attention.h"

namespace kestrune::re {
class Regex;
}

namespace kestrune::edit_guard {

// ---- tools and patterns -----------------------------------------------------

inline constexpr std::array<std::string_view, 2> WRITE_TOOLS = {"Write", "NotebookEdit"};
inline constexpr std::string_view EDIT_TOOL = "Edit";
inline constexpr std::string_view BASH_TOOL = "Bash";

// Destructive shell commands (case-insensitive, multi-line).
inline constexpr std::string_view HARD_BASH =
    R"re((?:^|[;&|\n]\s*)rm\s+(?:-[rRf]+\s+){1,3}\S+|(?:^|[;&|\n]\s*)find\s+.+?-delete|(?:^|[;&|\n]\s*):\s*>\s*\S+|(?:^|[;&|\n]\s*)truncate\s|(?:^|[;&|\n]\s*)dd\s+if=/dev/zero|(?:^|[;&|\n]\s*)mkfs\b|(?:^|[;&|\n]\s*)shred\s)re";
// Overwriting shell commands (case-insensitive, multi-line).
inline constexpr std::string_view SOFT_BASH = R"re((?<![>])>\s*(?!>)\S+|(?:^|[;&|\n]\s*)rm\s+(?!-[rRf])\S+)re";
// File arguments of a shell command: the first argument after rm and its
// flags, or the target of a single ">" (group 1; case-sensitive).
inline constexpr std::string_view TARGET_PATTERN =
    R"re((?:rm\s+(?:-\S+\s+)*|(?<![>])>(?!>)\s*)([^\s;&|><"'`\\]+))re";

// Compiled on first use only: most hook calls are not shell commands.
const re::Regex& hard_bash();
const re::Regex& soft_bash();
const re::Regex& target_pattern();

// ---- attention --------------------------------------------------------------

// The record and its scores are the shared ones (base/attention.h).
using attention::KIND_WEIGHT;
using attention::kind_weight;
using attention::HALF_LIFE_SECONDS;
inline constexpr double ATTENTION_THRESHOLD = attention::THRESHOLD;  // inclusive
inline constexpr size_t MAX_COMMAND_CHARS = 120;
inline constexpr size_t MAX_LISTED_FILES = 4;
inline constexpr int64_t HARD_BLOCK_MIN_EDITS = 2;

inline constexpr std::string_view ATTENTION_FILE = attention::FILE_NAME;
inline constexpr std::string_view DATA_DIR_NAME = attention::DATA_DIR_NAME;

// ---- the decision -----------------------------------------------------------

// What the guard may learn about the world.
struct Host {
  // An environment variable, or nullopt when unset.
  std::function<std::optional<std::string>(std::string_view)> getenv;
  // Whole seconds since the Unix epoch, asked for only once attention data is read.
  std::function<int64_t()> now;
  // The working directory; nullopt when it is gone.
  std::optional<std::string> cwd;
  // A file's bytes; nullopt when it cannot be read.
  std::function<std::optional<std::string>(const std::string&)> read_file;
};

// The process's own environment, clock, working directory and files.
Host system_host();

enum class Verdict { Allow = 0, Warn = 1, Block = 2 };

struct Decision {
  Verdict verdict = Verdict::Allow;
  std::string message;  // lines joined with "\n", no final line feed; empty on Allow

  int status() const { return static_cast<int>(verdict); }
};

// One hook call: the hook input as it arrived on standard input.
Decision decide(std::string_view input, const Host& host);

// ---- the command ------------------------------------------------------------

// The assistant's JSON decision form of `d`; empty when the call is allowed.
std::string decision_json(const Decision& d);

// The hook command: flags, standard input, the answer, the exit status.
int command_main(int argc, char** argv);

}  // namespace kestrune::edit_guard
