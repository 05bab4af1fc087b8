// JSON values to and from Python objects, argument checks, and running a
// command's main() from Python.
#include "kestrune/base/py_support.h"

#include <cstdio>
#include <iostream>
#include <unordered_set>
#include <vector>

namespace kestrune::py {

namespace pyb = pybind11;

namespace {

// json.dumps gives up near Python's recursion limit; so do we, instead of
// exhausting the C++ stack on a deep (or self-containing) structure.
constexpr int kMaxDepth = 1000;

[[noreturn]] void raise(PyObject* type, const std::string& msg) {
  PyErr_SetString(type, msg.c_str());
  throw pyb::error_already_set();
}

std::string type_name(pyb::handle h) { return Py_TYPE(h.ptr())->tp_name; }

pyb::object steal(PyObject* p) {
  if (!p) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(p);
}

pyb::object to_python_at(const json::Value& v, int depth) {
  using T = json::Value::Type;
  switch (v.type()) {
    case T::Null: return pyb::none();
    case T::Bool: return pyb::bool_(v.as_bool());
    case T::Int: return steal(PyLong_FromLongLong(v.as_int()));
    case T::BigInt: return steal(PyLong_FromString(v.as_bigint().digits.c_str(), nullptr, 10));
    case T::Float: return steal(PyFloat_FromDouble(v.as_double()));
    case T::String: return to_str(v.as_string());
    case T::Array: {
      if (depth >= kMaxDepth) raise(PyExc_RecursionError, "value is nested too deeply");
      const json::Array& a = v.as_array();
      pyb::object list = steal(PyList_New(static_cast<Py_ssize_t>(a.size())));
      for (size_t i = 0; i < a.size(); ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), to_python_at(a[i], depth + 1).release().ptr());
      return list;
    }
    case T::Object: {
      if (depth >= kMaxDepth) raise(PyExc_RecursionError, "value is nested too deeply");
      pyb::object dict = steal(PyDict_New());
      for (const json::Member& m : v.as_object()) {
        pyb::object key = to_str(m.key);
        pyb::object value = to_python_at(m.value, depth + 1);
        if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw pyb::error_already_set();
      }
      return dict;
    }
  }
  return pyb::none();
}

class FromPython {
 public:
  explicit FromPython(std::string_view arg) : arg_(arg) {}

  json::Value value(pyb::handle h) {
    PyObject* p = h.ptr();
    if (p == Py_None) return json::Value();
    if (PyBool_Check(p)) return json::Value(p == Py_True);
    if (PyLong_Check(p)) return integer(h);
    if (PyFloat_Check(p)) return json::Value(PyFloat_AS_DOUBLE(p));
    if (PyUnicode_Check(p)) return json::Value(from_str(h));
    if (PyList_Check(p) || PyTuple_Check(p)) {
      Guard g(*this, p);
      pyb::object seq = steal(PySequence_Fast(p, "expected a sequence"));
      Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
      json::Array out;
      out.reserve(static_cast<size_t>(n));
      // Index each time: converting an item could, in principle, run code that resizes the list.
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i)
        out.push_back(value(PySequence_Fast_GET_ITEM(seq.ptr(), i)));
      return json::Value(std::move(out));
    }
    if (PyDict_Check(p)) {
      Guard g(*this, p);
      json::Object out;
      for (auto [k, v] : pyb::reinterpret_borrow<pyb::dict>(h)) out.set(key(k), value(v));
      return json::Value(std::move(out));
    }
    raise(PyExc_TypeError, std::string(arg_) + ": Object of type " + type_name(h) +
                               " is not JSON serializable");
  }

 private:
  // Marks a container as being converted, to refuse cycles and excessive depth.
  struct Guard {
    Guard(FromPython& f, PyObject* p) : f(f), p(p) {
      if (!f.active_.insert(p).second)
        raise(PyExc_ValueError, std::string(f.arg_) + ": Circular reference detected");
      if (f.active_.size() > static_cast<size_t>(kMaxDepth))
        raise(PyExc_RecursionError, std::string(f.arg_) + " is nested too deeply");
    }
    ~Guard() { f.active_.erase(p); }
    FromPython& f;
    PyObject* p;
  };

  static json::Value integer(pyb::handle h) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (!overflow) {
      if (v == -1 && PyErr_Occurred()) throw pyb::error_already_set();
      return json::Value(v);
    }
    // int's own repr, not the subclass's (an IntEnum prints its name).
    return json::Value(json::BigInt{from_str(steal(PyLong_Type.tp_repr(h.ptr())))});
  }

  // What json.dumps accepts as keys, converted as it converts them.
  std::string key(pyb::handle k) {
    PyObject* p = k.ptr();
    if (PyUnicode_Check(p)) return from_str(k);
    if (p == Py_None) return "null";
    if (PyBool_Check(p)) return p == Py_True ? "true" : "false";
    if (PyLong_Check(p)) return json::dumps(integer(k));
    if (PyFloat_Check(p)) return json::dumps(json::Value(PyFloat_AS_DOUBLE(p)));
    raise(PyExc_TypeError, std::string(arg_) + ": keys must be str, int, float, bool or None, not " +
                               type_name(k));
  }

  std::string_view arg_;
  std::unordered_set<PyObject*> active_;
};

[[noreturn]] void wrong_type(pyb::handle h, std::string_view arg, const char* want) {
  raise(PyExc_TypeError, std::string(arg) + " must be " + want + ", not " + type_name(h));
}

void flush_python_stream(const char* name) {
  PyObject* stream = PySys_GetObject(name);  // borrowed
  if (!stream || stream == Py_None) return;
  PyObject* r = PyObject_CallMethod(stream, "flush", nullptr);
  if (r)
    Py_DECREF(r);
  else
    PyErr_Clear();  // a closed stream is no reason to refuse to run
}

}  // namespace

pyb::str to_str(std::string_view s) {
  PyObject* p = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
  if (!p) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::str>(p);
}

std::string from_str(pyb::handle h) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(h.ptr(), &size))
    return std::string(data, static_cast<size_t>(size));
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw pyb::error_already_set();
  PyErr_Clear();
  // Lone surrogates: text::append writes an escaped byte back as the byte.
  std::string out;
  const Py_ssize_t n = PyUnicode_GetLength(h.ptr());
  for (Py_ssize_t i = 0; i < n; ++i) text::append(out, PyUnicode_ReadChar(h.ptr(), i));
  return out;
}

pyb::object to_python(const json::Value& v) { return to_python_at(v, 0); }

json::Value from_python(pyb::handle h, std::string_view arg) { return FromPython(arg).value(h); }

std::string require_str(pyb::handle h, std::string_view arg) {
  if (!PyUnicode_Check(h.ptr())) wrong_type(h, arg, "str");
  return from_str(h);
}

std::string require_path(pyb::handle h, std::string_view arg) {
  if (!PyUnicode_Check(h.ptr()) && pyb::hasattr(h, "__fspath__"))
    return require_str(pyb::module_::import("os").attr("fspath")(h), arg);
  return require_str(h, arg);
}

std::string require_text(pyb::handle h, std::string_view arg) {
  std::string s = require_str(h, arg);
  if (text::is_valid_utf8(s)) return s;
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const char32_t c = text::next(s, i);
    text::append(out, c >= 0xDC80 && c <= 0xDCFF ? 0xFFFD : c);
  }
  return out;
}

pyb::list require_list(pyb::handle h, std::string_view arg) {
  if (!PyList_Check(h.ptr())) wrong_type(h, arg, "list");
  return pyb::reinterpret_borrow<pyb::list>(h);
}

pyb::dict require_dict(pyb::handle h, std::string_view arg) {
  if (!PyDict_Check(h.ptr())) wrong_type(h, arg, "dict");
  return pyb::reinterpret_borrow<pyb::dict>(h);
}

bool require_bool(pyb::handle h, std::string_view arg) {
  if (!PyBool_Check(h.ptr())) wrong_type(h, arg, "bool");
  return h.ptr() == Py_True;
}

long long require_int(pyb::handle h, std::string_view arg) {
  if (!PyLong_Check(h.ptr()) || PyBool_Check(h.ptr())) wrong_type(h, arg, "int");
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
  if (overflow) raise(PyExc_OverflowError, std::string(arg) + " is out of range");
  if (v == -1 && PyErr_Occurred()) throw pyb::error_already_set();
  return v;
}

int run_main(int (*main_fn)(int, char**), pyb::list argv) { return run_main(main_fn, argv, "kestrune"); }

int run_main(int (*main_fn)(int, char**), pyb::handle argv, std::string_view prog) {
  std::vector<std::string> args{std::string(prog)};
  pyb::object items;
  if (argv.is_none()) {
    pyb::list sys_argv = require_list(PySys_GetObject("argv"), "sys.argv");
    items = sys_argv[pyb::slice(1, static_cast<Py_ssize_t>(sys_argv.size()), 1)];
  } else {
    items = require_list(argv, "argv");
  }
  for (pyb::handle item : items) {
    if (!PyUnicode_Check(item.ptr())) wrong_type(item, "argv items", "str");
    // As the process would have received it: os.fsencode.
    args.push_back(from_str(item));
  }
  std::vector<char*> cargv;
  for (std::string& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  flush_python_stream("stdout");
  flush_python_stream("stderr");
  int status;
  {
    pyb::gil_scoped_release release;
    status = main_fn(static_cast<int>(args.size()), cargv.data());
    std::cout.flush();
    std::cerr.flush();
    std::fflush(stdout);
    std::fflush(stderr);
  }
  return status;
}

}  // namespace kestrune::py
