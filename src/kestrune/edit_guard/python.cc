// kestrune.edit_guard: the PreToolUse hook, its constants and its decision.
#include <pybind11/pybind11.h>

#include <string>

#include "kestrune/base/py_support.h"
#include "kestrune/edit_guard/edit_guard.h"

namespace pb = pybind11;
namespace kp = kestrune::py;
namespace eg = kestrune::edit_guard;

namespace {

pb::str str(std::string_view s) { return kp::to_str(s); }

}  // namespace

PYBIND11_MODULE(edit_guard, m) {
  m.doc() = "PreToolUse hook: warns before edits of high-attention files, blocks destructive commands on them.";
  // Each docstring starts with the function's Python signature, which help()
  // and inspect.signature() read, in place of the C++ argument types.
  pb::options options;
  options.disable_function_signatures();

  pb::list write_tools;
  for (std::string_view t : eg::WRITE_TOOLS) write_tools.append(str(t));
  m.attr("WRITE_TOOLS") = pb::module_::import("builtins").attr("frozenset")(write_tools);
  m.attr("EDIT_TOOL") = str(eg::EDIT_TOOL);
  m.attr("BASH_TOOL") = str(eg::BASH_TOOL);
  pb::module_ re = pb::module_::import("re");
  pb::object flags = re.attr("IGNORECASE") | re.attr("MULTILINE");
  m.attr("HARD_BASH") = re.attr("compile")(str(eg::HARD_BASH), flags);
  m.attr("SOFT_BASH") = re.attr("compile")(str(eg::SOFT_BASH), flags);
  m.attr("TARGET_PATTERN") = re.attr("compile")(str(eg::TARGET_PATTERN));
  pb::dict weights;
  for (const auto& [kind, weight] : eg::KIND_WEIGHT) weights[str(kind)] = weight;
  m.attr("KIND_WEIGHT") = weights;
  m.attr("HALF_LIFE_SECONDS") = eg::HALF_LIFE_SECONDS;
  m.attr("ATTENTION_THRESHOLD") = eg::ATTENTION_THRESHOLD;
  m.attr("MAX_COMMAND_CHARS") = eg::MAX_COMMAND_CHARS;
  m.attr("MAX_LISTED_FILES") = eg::MAX_LISTED_FILES;
  m.attr("HARD_BLOCK_MIN_EDITS") = eg::HARD_BLOCK_MIN_EDITS;

  // The decision for one hook input, as (exit status, message). `env` (a dict)
  // stands in for the environment, `now` for the clock and `cwd` for the
  // working directory; each left out means the process's own.
  m.def("decide", [](pb::handle input, pb::handle env, pb::handle now, pb::handle cwd) {
    std::string text;
    if (pb::isinstance<pb::bytes>(input))
      text = input.cast<std::string>();
    else
      text = kp::require_str(input, "hook_input");
    eg::Host host = eg::system_host();
    if (!env.is_none()) {
      pb::dict d = kp::require_dict(env, "env");
      auto vars = std::make_shared<std::unordered_map<std::string, std::string>>();
      for (auto [k, v] : d) (*vars)[kp::require_str(k, "env")] = kp::require_str(v, "env");
      host.getenv = [vars](std::string_view name) -> std::optional<std::string> {
        auto it = vars->find(std::string(name));
        if (it == vars->end()) return std::nullopt;
        return it->second;
      };
    }
    if (!now.is_none()) {
      long long t = kp::require_int(now, "now");
      host.now = [t] { return static_cast<int64_t>(t); };
    }
    if (!cwd.is_none()) host.cwd = kp::require_str(cwd, "cwd");
    eg::Decision d;
    {
      pb::gil_scoped_release release;
      d = eg::decide(text, host);
    }
    return pb::make_tuple(d.status(), str(d.message));
  }, pb::arg("hook_input"), pb::kw_only(), pb::arg("env") = pb::none(), pb::arg("now") = pb::none(),
     pb::arg("cwd") = pb::none(),
         "decide(hook_input, *, env=None, now=None, cwd=None)\n--\n\n"
         "(exit status, message) of the hook for one input; env, now and cwd stand in for the process's own.");

  // The hook command: reads standard input, answers, and exits non-zero through SystemExit.
  m.def("main", [](pb::object argv) {
    const int status = kp::run_main(&eg::command_main, argv, "edit_guard");
    if (status != 0) {
      PyErr_SetObject(PyExc_SystemExit, pb::int_(status).ptr());
      throw pb::error_already_set();
    }
  }, pb::arg("argv") = pb::none(),
      "main(argv=None)\n--\n\n"
      "Run the hook on standard input with argv (default sys.argv[1:]); its status leaves as SystemExit.");
}
