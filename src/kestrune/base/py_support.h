// What the Python bindings share: JSON values to and from Python objects, and
// argument checks that raise TypeError naming the argument.
//
// Strings cross as Python carries the operating system's: a str becomes its
// bytes with surrogateescape (os.fsencode), so a name that is not UTF-8 reaches
// the file system as it is, and bytes become a str the same way
// (os.fsdecode). Every std::string and std::string_view pybind11 converts goes
// through the casters below, so include this header before anything converts.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/json.h"

namespace kestrune::py {

// The str for text or a name: each undecodable byte becomes U+DC00 plus the
// byte, as os.fsdecode makes it.
pybind11::str to_str(std::string_view s);
// The bytes of a str, as os.fsencode gives them; a lone surrogate that is not
// an escaped byte (outside U+DC80..U+DCFF) has no bytes and becomes U+FFFD.
// `h` must be a str.
std::string from_str(pybind11::handle h);

// None/bool/int/float/str/list/dict as json.loads would have built them
// (dicts keep key order, big integers stay exact).
pybind11::object to_python(const json::Value& v);
// A list of the records' to_json() values, as to_python() builds them.
template <typename T>
pybind11::list to_python_list(const std::vector<T>& records) {
  pybind11::list out;
  for (const T& r : records) out.append(to_python(r.to_json()));
  return out;
}
// The reverse; tuples become lists. Anything else raises TypeError naming `arg`.
json::Value from_python(pybind11::handle h, std::string_view arg = "value");

// Raise TypeError("<arg> must be str") etc. unless the object has the type.
std::string require_str(pybind11::handle h, std::string_view arg);
// A str, or an os.PathLike whose os.fspath() is one.
std::string require_path(pybind11::handle h, std::string_view arg);
// A str holding file text, which the scanners match without checking it: file
// text is decoded, so it never holds an escaped byte, and a lone surrogate in
// one becomes U+FFFD.
std::string require_text(pybind11::handle h, std::string_view arg);
pybind11::list require_list(pybind11::handle h, std::string_view arg);
pybind11::dict require_dict(pybind11::handle h, std::string_view arg);
bool require_bool(pybind11::handle h, std::string_view arg);
long long require_int(pybind11::handle h, std::string_view arg);  // bool rejected

// Run a C++ command `main` with sys.argv-style arguments and return its status;
// writes go to the process's stdout/stderr (flushing Python's streams first).
int run_main(int (*main_fn)(int, char**), pybind11::list argv);
// run_main(main_fn, argv) passes "kestrune" as argv[0]; this form takes the
// program name. `argv` holds the arguments after it (as main(argv) and
// argparse take them), None meaning sys.argv[1:].
// The GIL is released while `main_fn` runs.
int run_main(int (*main_fn)(int, char**), pybind11::handle argv, std::string_view prog);

}  // namespace kestrune::py

namespace pybind11::detail {

// pybind11's own casters refuse a str holding lone surrogates and throw on
// bytes that are not UTF-8; these carry both as described above. bytes and
// bytearray are still taken as they are.
template <>
struct type_caster<std::string> {
  bool load(handle src, bool) {
    if (!src) return false;
    if (PyUnicode_Check(src.ptr())) {
      value = kestrune::py::from_str(src);
      return true;
    }
    if (PyBytes_Check(src.ptr())) {
      value.assign(PyBytes_AS_STRING(src.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(src.ptr())));
      return true;
    }
    if (PyByteArray_Check(src.ptr())) {
      value.assign(PyByteArray_AS_STRING(src.ptr()), static_cast<size_t>(PyByteArray_GET_SIZE(src.ptr())));
      return true;
    }
    return false;
  }
  static handle cast(const std::string& s, return_value_policy, handle) {
    return kestrune::py::to_str(s).release();
  }
  PYBIND11_TYPE_CASTER(std::string, const_name("str"));
};

template <>
struct type_caster<std::string_view> {
  bool load(handle src, bool convert) {
    type_caster<std::string> owner;
    if (!owner.load(src, convert)) return false;
    // The view needs storage that lives as long as the call: a bytes object
    // kept alive with the call's other temporaries.
    object bytes = reinterpret_steal<object>(
        PyBytes_FromStringAndSize(static_cast<std::string&>(owner).data(),
                                  static_cast<Py_ssize_t>(static_cast<std::string&>(owner).size())));
    if (!bytes) throw error_already_set();
    value = std::string_view(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    loader_life_support::add_patient(bytes);
    return true;
  }
  static handle cast(std::string_view s, return_value_policy, handle) { return kestrune::py::to_str(s).release(); }
  PYBIND11_TYPE_CASTER(std::string_view, const_name("str"));
};

}  // namespace pybind11::detail
