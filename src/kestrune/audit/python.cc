// kestrune.audit: the auditor's checks, score, roadmap, reports and command.
#include <pybind11/pybind11.h>

#include <string>

#include "kestrune/audit/checks.h"
#include "kestrune/audit/command.h"
#include "kestrune/audit/report.h"
#include "kestrune/audit/score.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/py_support.h"

namespace pb = pybind11;
namespace kp = kestrune::py;
namespace audit = kestrune::audit;
namespace fs = kestrune::fs;
namespace json = kestrune::json;

namespace {

audit::CommandEnv g_env;

int command_main(int argc, char** argv) { return audit::command_main(argc, argv, g_env); }


json::Value dict_arg(pb::handle h, std::string_view arg) {
  kp::require_dict(h, arg);
  return kp::from_python(h, arg);
}

// Progress goes through sys.stderr so that Python-side redirection sees it.
void progress(std::string_view s) {
  pb::object err = pb::module_::import("sys").attr("stderr");
  if (err.is_none()) return;
  err.attr("write")(kp::to_str(s));
  err.attr("flush")();
}

}  // namespace

PYBIND11_MODULE(audit, m) {
  m.doc() = "Code-health audit of a scanned project: checks, debt score, fix roadmap and reports.";
  // Each docstring starts with the function's Python signature, which help()
  // and inspect.signature() read, in place of the C++ argument types.
  pb::options options;
  options.disable_function_signatures();

  pb::list exts;
  for (std::string_view e : audit::CODE_EXTS) exts.append(pb::str(e.data(), e.size()));
  m.attr("CODE_EXTS") = pb::module_::import("builtins").attr("frozenset")(exts);
  pb::object out = pb::module_::import("sys").attr("stdout");
  m.attr("COLOR") = pb::bool_(!out.is_none() && pb::hasattr(out, "isatty") && out.attr("isatty")().cast<bool>());

  m.def("_load_graph", [](pb::handle root) {
    return kp::to_python(audit::load_graph(kp::require_path(root, "root")));
  }, pb::arg("root"),
      "_load_graph(root)\n--\n\nThe graph in root/.braid/info_graph.json; {} when it is missing or unusable.");
  m.def("_read", [](pb::handle root, pb::handle file_id) {
    return audit::read_source(kp::require_path(root, "root"), kp::require_str(file_id, "file_id"));
  }, pb::arg("root"), pb::arg("file_id"),
      "_read(root, file_id)\n--\n\nThe text of a project file ('' when it cannot be read).");

  m.def("check_dead_exports", [](pb::handle graph) {
    return kp::to_python(audit::check_dead_exports(dict_arg(graph, "graph")));
  }, pb::arg("graph"), "check_dead_exports(graph)\n--\n\nExported symbols that nothing uses (up to 50).");
  m.def("check_circular_deps", [](pb::handle graph) {
    return kp::to_python(audit::check_circular_deps(dict_arg(graph, "graph")));
  }, pb::arg("graph"), "check_circular_deps(graph)\n--\n\nImport and reference cycles between files (up to 10).");
  m.def("check_copy_paste", [](pb::handle graph) {
    return kp::to_python(audit::check_copy_paste(dict_arg(graph, "graph")));
  }, pb::arg("graph"),
      "check_copy_paste(graph)\n--\n\nGroups of symbols of 10 or more lines with the same body (up to 12).");
  using RootCheck = json::Value (*)(const json::Value&, const std::string&);
  auto def_root_check = [&](const char* name, RootCheck check, const char* doc) {
    m.def(name, [check](pb::handle graph, pb::handle root) {
      json::Value g = dict_arg(graph, "graph");
      return kp::to_python(check(g, kp::require_path(root, "root")));
    }, pb::arg("graph"), pb::arg("root"), doc);
  };
  def_root_check("check_test_coverage", &audit::check_test_coverage,
                 "check_test_coverage(graph, root)\n--\n\nThe share of source files with a test file, and those without.");
  def_root_check("check_db_in_routes", &audit::check_db_in_routes,
                 "check_db_in_routes(graph, root)\n--\n\nRoute, controller, handler, view and api files with database calls.");
  def_root_check("check_todos", &audit::check_todos,
                 "check_todos(graph, root)\n--\n\nTODO, FIXME, HACK and XXX markers (up to 40).");
  def_root_check("check_missing_error_handling", &audit::check_missing_error_handling,
                 "check_missing_error_handling(graph, root)\n--\n\n"
                 "Functions making network or RPC calls without error handling (up to 25).");

  m.def("run_audit", [](pb::handle root) {
    const std::string dir = kp::require_path(root, "root");
    try {
      return kp::to_python(json::Value(audit::run_audit(dir, progress)));
    } catch (const audit::NoGraph&) {
      PyErr_SetObject(PyExc_SystemExit, pb::int_(1).ptr());
      throw pb::error_already_set();
    }
  }, pb::arg("root"),
      "run_audit(root)\n--\n\n"
      "The results record of all seven checks on the project at root; SystemExit(1) without a graph.");

  m.def("debt_score", [](pb::handle r) {
    return audit::debt_score(dict_arg(r, "r").as_object());
  }, pb::arg("r"), "debt_score(r)\n--\n\nThe vibe debt score of a results record, 0 to 100.");
  m.def("fix_roadmap", [](pb::handle r) {
    return kp::to_python(json::Value(audit::fix_roadmap(dict_arg(r, "r").as_object())));
  }, pb::arg("r"), "fix_roadmap(r)\n--\n\nAt most six fix tasks, grouped into weeks, for a results record.");
  m.def("_debt_color", [](pb::handle score) {
    return std::string(audit::debt_color(kp::require_int(score, "score")));
  }, pb::arg("score"), "_debt_color(score)\n--\n\ngreen, yellow or red for a debt score.");
  m.def("write_audit_context", [](pb::handle root, pb::handle r) {
    const std::string path = audit::write_audit_context(kp::require_path(root, "root"), dict_arg(r, "r").as_object());
    return pb::module_::import("pathlib").attr("Path")(path);
  }, pb::arg("root"), pb::arg("r"),
      "write_audit_context(root, r)\n--\n\n"
      "Write root/.braid/AUDIT_CONTEXT.md for a results record and return its path.");
  m.def("format_report", [](pb::handle root, pb::handle r, pb::handle color) {
    return audit::format_report(kp::require_path(root, "root"), dict_arg(r, "r").as_object(),
                                kp::require_bool(color, "color"));
  }, pb::arg("root"), pb::arg("r"), pb::arg("color") = true,
      "format_report(root, r, color=True)\n--\n\nThe terminal report of a results record.");
  m.def("_c", [](pb::handle code, pb::handle text, pb::handle enabled) {
    return audit::colorize(kp::require_str(code, "code"), kp::require_str(text, "text"),
                           kp::require_bool(enabled, "enabled"));
  }, pb::arg("code"), pb::arg("text"), pb::arg("enabled") = true,
      "_c(code, text, enabled=True)\n--\n\ntext in the ANSI colour code when enabled.");

  m.def("main", [](pb::object argv) {
    pb::module_ self = pb::module_::import("kestrune.audit");
    g_env.pkg_dir = fs::dirname(self.attr("__file__").cast<std::string>());
    g_env.color = pb::bool_(self.attr("COLOR")).cast<bool>();
    const int status = kp::run_main(&command_main, argv, "audit");
    if (status != 0) {
      PyErr_SetObject(PyExc_SystemExit, pb::int_(status).ptr());
      throw pb::error_already_set();
    }
  }, pb::arg("argv") = pb::none(),
      "main(argv=None)\n--\n\nRun the audit command on argv (default sys.argv[1:]); a failure raises SystemExit.");
}
