#include <unistd.h>

#include "kestrune/audit/command.h"
#include "kestrune/base/fs.h"

int main(int argc, char** argv) {
  kestrune::audit::CommandEnv env;
  // The package directory is the parent of the bin/ directory this binary lives in.
  try {
    env.pkg_dir = kestrune::fs::parent(kestrune::fs::self_exe_dir());
  } catch (...) {
    env.pkg_dir = ".";
  }
  env.color = ::isatty(STDOUT_FILENO) == 1;
  return kestrune::audit::run_command(argc, argv, env);
}
