#include <csignal>
#include <cstdio>

#include "kestrune/treescan/treescan.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed stdout shows up as a failed write, handled quietly
  // Loading the grammars is the module's start: a missing one is said once, here.
  if (std::string warning = kestrune::treescan::grammars().warning(); !warning.empty()) {
    warning += '\n';
    std::fwrite(warning.data(), 1, warning.size(), stdout);
    std::fflush(stdout);
  }
  return kestrune::treescan::command_main(argc, argv);
}
