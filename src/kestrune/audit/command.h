// The `audit` command, shared by the native binary and kestrune.audit.main.
#pragma once

#include <string>

namespace kestrune::audit {

struct CommandEnv {
  std::string pkg_dir;  // the package directory; --fix starts pkg_dir/bin/brc when it exists
  bool color = false;   // whether standard output is a terminal (decided once at start-up)
};

// Parses the options, audits, writes the reports and prints the result.
// Returns the exit status: 0 done, 1 no graph or a failure, 2 bad options.
// With --fix a successful run does not return: the process becomes brc.
int command_main(int argc, char** argv, const CommandEnv& env);

}  // namespace kestrune::audit
