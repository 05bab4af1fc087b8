#include <csignal>

#include "kestrune/br/commands.h"

int main(int argc, char** argv) {
  // A reader that goes away (br prime | head) ends the command quietly.
  std::signal(SIGPIPE, SIG_IGN);
  return kestrune::br::run(argc, argv);
}
