// kestrune.brc_claude: parse_args, _ensure_graph and main for the Python host.
#include <dlfcn.h>
#include <pybind11/pybind11.h>

#include "kestrune/base/fs.h"
#include "kestrune/base/py_support.h"
#include "kestrune/br/br.h"
#include "kestrune/brc_claude/brc_claude.h"
#include "kestrune/lexscan/python_errors.h"

namespace pb = pybind11;
namespace kpy = kestrune::py;
using namespace kestrune;

namespace {

// br keeps its files beside the installed module: this extension's directory.
std::string module_dir() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(&module_dir), &info) == 0 || !info.dli_fname) return {};
  return fs::parent(fs::resolve(info.dli_fname));
}

std::vector<std::string> argv_or_sys(pb::handle argv) {
  pb::list list = argv.is_none()
                      ? pb::list(pb::module_::import("sys").attr("argv")[pb::slice(1, {}, {})])
                      : kpy::require_list(argv, "argv");
  std::vector<std::string> out;
  for (pb::handle item : list) out.push_back(kpy::require_str(item, "argv"));
  return out;
}

// What the standard parser does on --help or a usage error: print, then SystemExit.
brc_claude::Args parse_or_exit(const std::vector<std::string>& argv) {
  try {
    return brc_claude::parse_args(argv);
  } catch (const brc_claude::ParseExit& e) {
    pb::module_ sys = pb::module_::import("sys");
    pb::object stream = sys.attr(e.status == 0 ? "stdout" : "stderr");
    stream.attr("write")(e.text);
    stream.attr("flush")();
    pb::object exit_cls = pb::module_::import("builtins").attr("SystemExit");
    PyErr_SetObject(exit_cls.ptr(), pb::int_(e.status).ptr());
    throw pb::error_already_set();
  }
}

}  // namespace

PYBIND11_MODULE(brc_claude, m) {
  m.doc() = "Pre-injection wrapper: graph retrieval → packed context → claude -p";
  // Each docstring starts with the function's Python signature, which help()
  // and inspect.signature() read, in place of the C++ argument types.
  pb::options options;
  options.disable_function_signatures();
  br::set_base_dir(module_dir());

  m.def(
      "parse_args",
      [](pb::handle argv) {
        brc_claude::Args a = parse_or_exit(argv_or_sys(argv));
        pb::list query;
        for (const std::string& w : a.query) query.append(kpy::to_str(w));
        pb::object ns = pb::module_::import("argparse").attr("Namespace")();
        ns.attr("query") = query;
        ns.attr("project_root") = kpy::to_str(a.project_root);
        ns.attr("budget") = pb::int_(a.budget);
        ns.attr("max_files") = pb::int_(a.max_files);
        ns.attr("model") = kpy::to_str(a.model);
        ns.attr("json") = pb::bool_(a.json);
        ns.attr("dry_run") = pb::bool_(a.dry_run);
        ns.attr("no_permissions") = pb::bool_(a.no_permissions);
        ns.attr("no_session") = pb::bool_(a.no_session);
        ns.attr("verbose") = pb::bool_(a.verbose);
        return ns;
      },
      pb::arg("argv") = pb::none(),
          "parse_args(argv=None)\n--\n\n"
          "The launcher's command line (default sys.argv[1:]) as an argparse.Namespace.");

  m.def(
      "_ensure_graph",
      [](pb::handle project_root) {
        std::string root = kpy::require_str(pb::module_::import("os").attr("fspath")(project_root),
                                            "project_root");
        json::Value graph;
        try {
          pb::gil_scoped_release release;
          graph = brc_claude::ensure_graph(root);
        } catch (const lexscan::NotAProjectRoot& e) {
          lexscan::set_python_error(e);
          throw pb::error_already_set();
        } catch (const fs::OsError& e) {
          PyErr_SetString(PyExc_OSError, e.what());
          throw pb::error_already_set();
        } catch (const json::ParseError& e) {
          throw pb::value_error(e.what());
        } catch (const json::TypeError& e) {
          throw pb::type_error(e.what());
        }
        return kpy::to_python(graph);
      },
      pb::arg("project_root"),
          "_ensure_graph(project_root)\n--\n\nbr's graph, built by scanning project_root when br has none yet.");

  m.def(
      "main",
      [](pb::handle argv) {
        std::vector<std::string> args = argv_or_sys(argv);
        parse_or_exit(args);
        pb::list words;
        for (const std::string& a : args) words.append(kpy::to_str(a));
        return kpy::run_main(&brc_claude::command_main, words, "brc-claude");
      },
      pb::arg("argv") = pb::none(),
      "main(argv=None)\n--\n\n"
      "Run brc-claude on argv (default sys.argv[1:]); returns its exit status unless claude has replaced the process.");
}
