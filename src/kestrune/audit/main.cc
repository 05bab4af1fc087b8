#include <unistd.h>

#include "kestrune/audit/command.h"
#include "kestrune/base/command.h"
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

int audit_main(int argc, char** argv) {
  return kestrune::audit::command_main(argc, argv, {package_dir(), ::isatty(STDOUT_FILENO) == 1});
}

}  // namespace

int main(int argc, char** argv) { return kestrune::command::main(argc, argv, &audit_main); }
