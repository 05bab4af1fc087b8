// What the Python bindings share: JSON values to and from Python objects, and
// argument checks that raise TypeError naming the argument.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "kestrune/base/json.h"

namespace kestrune::py {

// None/bool/int/float/str/list/dict as json.loads would have built them
// (dicts keep key order, big integers stay exact).
pybind11::object to_python(const json::Value& v);
// The reverse; tuples become lists. Anything else raises TypeError naming `arg`.
json::Value from_python(pybind11::handle h, std::string_view arg = "value");

// Raise TypeError("<arg> must be str") etc. unless the object has the type.
std::string require_str(pybind11::handle h, std::string_view arg);
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
