// kestrune.mcp: the server's tools as functions, and its message handling.
#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <mutex>

#include "kestrune/base/fs.h"
#include "kestrune/base/py_support.h"
#include "kestrune/mcp/mcp.h"

namespace pb = pybind11;
namespace kp = kestrune::py;
namespace mcp = kestrune::mcp;

namespace {

// One Project per root for the life of the interpreter, as one server
// process keeps it: the graph stays loaded, and a file returned twice is a
// cache hit. The tools run without the GIL, one at a time per project.
struct Held {
  explicit Held(std::string root) : project(std::move(root)) {}
  mcp::Project project;
  std::mutex busy;
};

Held& held(pb::handle root) {
  static std::map<std::string, std::unique_ptr<Held>> projects;
  const std::string dir = root.is_none() ? mcp::default_root() : kestrune::fs::resolve(kp::require_str(root, "root"));
  auto& h = projects[dir];
  if (!h) h = std::make_unique<Held>(dir);
  return *h;
}

// f(project) without the GIL, the project to itself. The lock is let go
// before the GIL is taken back, so a caller waiting for it with the GIL never
// holds up the one that has it.
template <class F>
auto with_project(pb::handle root, F f) {
  Held& h = held(root);
  pb::gil_scoped_release release;
  std::lock_guard lock(h.busy);
  return f(h.project);
}

}  // namespace

PYBIND11_MODULE(mcp, m) {
  m.doc() = "The project's information graph as tools for the assistant (the kestrune-mcp server).";
  pb::options options;
  options.disable_function_signatures();
  pb::register_exception<mcp::ToolError>(m, "ToolError", PyExc_RuntimeError);

  pb::tuple versions(mcp::PROTOCOL_VERSIONS.size());
  for (size_t i = 0; i < mcp::PROTOCOL_VERSIONS.size(); ++i) versions[i] = kp::to_str(mcp::PROTOCOL_VERSIONS[i]);
  m.attr("PROTOCOL_VERSIONS") = versions;

  m.def(
      "graph_continue",
      [](pb::handle query, pb::handle max_files, pb::handle budget, pb::handle root) {
        const std::string q = kp::require_str(query, "query");
        const long long n = kp::require_int(max_files, "max_files"), b = kp::require_int(budget, "budget");
        return with_project(root, [&](mcp::Project& p) { return p.graph_continue(q, n, b); });
      },
      pb::arg("query"), pb::arg("max_files") = 8, pb::arg("budget") = 5000, pb::kw_only(), pb::arg("root") = pb::none(),
      "graph_continue(query, max_files=8, budget=5000, *, root=None)\n--\n\n"
      "The context for a task, packed as Markdown; the files it returns are recorded as read.");
  m.def(
      "graph_register_edit",
      [](pb::handle file, pb::handle summary, pb::handle root) {
        const std::string f = kp::require_str(file, "file"), s = kp::require_str(summary, "summary");
        return with_project(root, [&](mcp::Project& p) { return p.graph_register_edit(f, s); });
      },
      pb::arg("file"), pb::arg("summary") = "", pb::kw_only(), pb::arg("root") = pb::none(),
      "graph_register_edit(file, summary='', *, root=None)\n--\n\n"
      "Records an edit for the edit guard and the action log; returns the file's new attention score.");
  m.def(
      "graph_dead_exports", [](pb::handle root) {
        return with_project(root, [](mcp::Project& p) { return p.graph_dead_exports(); });
      }, pb::kw_only(),
      pb::arg("root") = pb::none(), "graph_dead_exports(*, root=None)\n--\n\nEvery dead export, the count first.");
  m.def(
      "graph_attention", [](pb::handle root) {
        return with_project(root, [](mcp::Project& p) { return p.graph_attention(); });
      }, pb::kw_only(),
      pb::arg("root") = pb::none(),
      "graph_attention(*, root=None)\n--\n\nThe files at or above the edit guard's threshold.");
  m.def(
      "tools", [] { return kp::to_python(mcp::tool_list()); },
      "tools()\n--\n\nWhat tools/list answers: each tool's name, description and argument schema.");
  m.def(
      "handle",
      [](pb::handle line, pb::handle root) -> pb::object {
        const std::string text = kp::require_str(line, "line");
        std::optional<std::string> answer =
            with_project(root, [&](mcp::Project& p) { return mcp::Server(p).handle(text); });
        return answer ? pb::object(kp::to_str(*answer)) : pb::object(pb::none());
      },
      pb::arg("line"), pb::kw_only(), pb::arg("root") = pb::none(),
      "handle(line, *, root=None)\n--\n\nThe server's answer to one line of JSON-RPC, or None when none is due.");
  m.def(
      "main",
      [](pb::object argv) {
        const int status = kp::run_main(&mcp::command_main, argv, "kestrune-mcp");
        if (status != 0) {
          PyErr_SetObject(PyExc_SystemExit, pb::int_(status).ptr());
          throw pb::error_already_set();
        }
      },
      pb::arg("argv") = pb::none(), "main(argv=None)\n--\n\nServes standard input and output until their end.");
}
