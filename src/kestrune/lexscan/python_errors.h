// How the Python faces of the scanners and their callers report a root that
// is not a directory: NotADirectoryError(ENOTDIR, "project root is not a
// directory", root), so that `except OSError` and `.filename` work as for
// any failed file operation.
#pragma once

#include <cerrno>

#include "kestrune/base/py_support.h"
#include "kestrune/lexscan/lexscan.h"

namespace kestrune::lexscan {

// Sets the error (as an exception translator does); callers outside a
// translator then throw pybind11::error_already_set.
inline void set_python_error(const NotAProjectRoot& e) {
  pybind11::object root = kestrune::py::to_str(e.path);
  PyObject* args = Py_BuildValue("(isO)", ENOTDIR, "project root is not a directory", root.ptr());
  if (!args) return;  // the error that stopped it stands
  PyErr_SetObject(PyExc_NotADirectoryError, args);
  Py_DECREF(args);
}

}  // namespace kestrune::lexscan
