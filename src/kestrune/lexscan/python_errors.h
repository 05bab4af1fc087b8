// How the Python faces of the scanners and their callers report a root that
// is not a directory: NotADirectoryError(ENOTDIR, "project root is not a
// directory", root), so that `except OSError` and `.filename` work as for
// any failed file operation.
#pragma once

#include <pybind11/pybind11.h>

#include <cerrno>

#include "kestrune/lexscan/lexscan.h"

namespace kestrune::lexscan {

// Sets the error (as an exception translator does); callers outside a
// translator then throw pybind11::error_already_set.
inline void set_python_error(const NotAProjectRoot& e) {
  PyObject* root = PyUnicode_DecodeFSDefaultAndSize(e.path.data(), static_cast<Py_ssize_t>(e.path.size()));
  if (!root) return;  // the decoding error stands
  PyObject* args = Py_BuildValue("(isN)", ENOTDIR, "project root is not a directory", root);
  if (!args) return;
  PyErr_SetObject(PyExc_NotADirectoryError, args);
  Py_DECREF(args);
}

}  // namespace kestrune::lexscan
