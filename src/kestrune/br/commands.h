// The br command line: scan, retrieve, prime, action log, stats.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/args.h"
#include "kestrune/base/json.h"

namespace kestrune::br {

// Parsed arguments: the chosen sub-command (and nested one) and option values by dest name.
struct Args {
  std::string cmd, action_cmd;
  std::map<std::string, std::string> text;
  std::map<std::string, long long> num;
  std::map<std::string, bool> flag;
};

// An argument error: `text` is what goes to standard error (the usage line of
// the (sub-)command and the message), `message` the message alone.
using UsageError = args::Exit;

// Parses argv[1..]; throws UsageError, or returns nullopt after printing help.
std::optional<Args> parse_args(const std::vector<std::string>& argv);

int cmd_scan(const Args& args);
int cmd_retrieve(const Args& args);
int cmd_prime(const Args& args);
int cmd_action_log(const Args& args);
int cmd_stats(const Args& args);

// The prompt of a UserPromptSubmit hook input (a non-empty string), or
// nullopt for anything else: malformed input is no error, just no prompt.
std::optional<std::string> hook_prompt(std::string_view input);

// ACTION_LOG's events, last `limit` of them (Python's events[-limit:]).
json::Array read_action_events(long long limit = 8);

// The whole command: parse, run, map failures to exit statuses (2 for
// argument errors, 1 for runtime failures).
int command_main(int argc, char** argv);

}  // namespace kestrune::br
