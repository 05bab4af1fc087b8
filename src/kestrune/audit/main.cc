#include <unistd.h>

#include "kestrune/audit/command.h"
#include "kestrune/base/fs.h"

namespace {

// The package directory is the parent of the bin/ directory this binary lives in.
std::string package_dir() {
  try {
    return kestrune::fs::parent(kestrune::fs::self_exe_dir());
  } catch (const std::exception&) {
    return kestrune::fs::cwd();
  }
}

}  // namespace

int main(int argc, char** argv) {
  const kestrune::audit::CommandEnv env{package_dir(), ::isatty(STDOUT_FILENO) == 1};
  return kestrune::audit::run_command(argc, argv, env);
}
