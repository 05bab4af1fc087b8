// kestrune.hooks: the `kestrune` command (hooks install | uninstall | status).
#include <dlfcn.h>
#include <pybind11/pybind11.h>

#include "kestrune/base/fs.h"
#include "kestrune/base/py_support.h"
#include "kestrune/hooks/hooks.h"

namespace pb = pybind11;
namespace kp = kestrune::py;

namespace {

// The package's bin/, beside this module: the programs the hooks run.
std::string bin_dir() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(&bin_dir), &info) == 0 || !info.dli_fname) return {};
  return kestrune::fs::join(kestrune::fs::parent(kestrune::fs::resolve(info.dli_fname)), "bin");
}

}  // namespace

PYBIND11_MODULE(hooks, m) {
  m.doc() = "Wires Kestrune's hooks into the assistant's settings: kestrune.hooks.main(['hooks', 'install']).";
  kestrune::hooks::set_bin_dir(bin_dir());
  m.def(
      "main",
      [](pb::object argv) {
        const int status = kp::run_main(&kestrune::hooks::command_main, argv, "kestrune");
        if (status != 0) {
          PyErr_SetObject(PyExc_SystemExit, pb::int_(status).ptr());
          throw pb::error_already_set();
        }
      },
      pb::arg("argv") = pb::none());
}
