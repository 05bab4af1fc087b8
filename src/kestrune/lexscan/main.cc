#include <csignal>

#include "kestrune/lexscan/scan.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed stdout shows up as a failed write, handled quietly
  return kestrune::lexscan::command_main(argc, argv);
}
