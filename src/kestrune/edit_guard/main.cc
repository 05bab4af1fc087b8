#include <csignal>

#include "kestrune/edit_guard/edit_guard.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  return kestrune::edit_guard::run(argc, argv);
}
