// kestrune.attention: the attention record's writer and its scores.
#include <pybind11/pybind11.h>

#include <ctime>
#include <vector>

#include "kestrune/attention/attention.h"
#include "kestrune/base/py_support.h"

namespace pb = pybind11;
namespace kp = kestrune::py;
namespace at = kestrune::attention;

namespace {

pb::str str(std::string_view s) { return pb::str(s.data(), s.size()); }

int64_t now_or_clock(pb::handle now) {
  return now.is_none() ? static_cast<int64_t>(std::time(nullptr)) : kp::require_int(now, "now");
}

pb::dict record_dict(const at::Record& r) {
  pb::dict d;
  d["file"] = str(r.file);
  d["score"] = r.score;
  d["reads"] = r.reads;
  d["edits"] = r.edits;
  d["last_ts"] = r.last_ts;
  return d;
}

}  // namespace

PYBIND11_MODULE(attention, m) {
  m.doc() = "The assistant's attention record: recording actions, and each file's score as the edit guard sees it.";
  m.attr("FILE_NAME") = str(at::FILE_NAME);
  m.attr("MAX_ACTIONS") = at::MAX_ACTIONS;
  m.attr("MAX_AGE_SECONDS") = at::MAX_AGE_SECONDS;
  m.attr("THRESHOLD") = at::THRESHOLD;

  // The attention file and the action one PostToolUse hook call records, as
  // a dict (file, root, kind, path, tool, session), or None.
  m.def("hook_call", [](pb::handle input, pb::handle cwd, pb::handle env) -> pb::object {
    at::HookEnv e;
    const std::string text = kp::require_str(input, "hook_input");
    if (!env.is_none()) {
      pb::dict d = kp::require_dict(env, "env");
      auto get = [&](const char* k) { return d.contains(k) ? kp::require_str(d[k], "env") : std::string(); };
      e.claude_project_dir = get("CLAUDE_PROJECT_DIR");
      e.br_data_dir = get("BR_DATA_DIR");
    }
    e.cwd = kp::require_str(cwd, "cwd");
    std::optional<at::HookCall> c = at::hook_call(text, e);
    if (!c) return pb::none();
    pb::dict d;
    d["file"] = str(c->place.file);
    d["root"] = str(c->place.root);
    d["kind"] = str(c->action.kind);
    d["path"] = str(c->action.file);
    d["tool"] = str(c->action.tool);
    d["session"] = str(c->action.session);
    return d;
  }, pb::arg("hook_input"), pb::kw_only(), pb::arg("cwd"), pb::arg("env") = pb::none());

  // Records actions (dicts with kind, file, tool, session) in the attention
  // file `path` under its lock; returns (actions now in the file, where a
  // malformed file was moved, or None).
  m.def("record", [](pb::handle path, pb::handle actions, pb::handle now) {
    const std::string file = kp::require_str(path, "path");
    std::vector<at::NewAction> list;
    for (pb::handle a : kp::require_list(actions, "actions")) {
      pb::dict d = kp::require_dict(a, "actions");
      auto get = [&](const char* k) { return d.contains(k) ? kp::require_str(d[k], "actions") : std::string(); };
      list.push_back({get("kind"), get("file"), get("tool"), get("session")});
    }
    const int64_t t = now_or_clock(now);
    at::Recorded r;
    {
      pb::gil_scoped_release release;
      r = at::record(file, list, t);
    }
    return pb::make_tuple(r.actions, r.moved_aside.empty() ? pb::object(pb::none()) : pb::object(str(r.moved_aside)));
  }, pb::arg("path"), pb::arg("actions"), pb::kw_only(), pb::arg("now") = pb::none());

  // Per-file records of the attention file `path` as the guard tallies them;
  // with at_risk=True only those at or above THRESHOLD, highest first.
  m.def("records", [](pb::handle path, pb::handle now, bool risky) {
    std::vector<at::Record> rs = at::load_records(kp::require_str(path, "path"), now_or_clock(now));
    if (risky) rs = at::at_risk(std::move(rs));
    pb::list out;
    for (const at::Record& r : rs) out.append(record_dict(r));
    return out;
  }, pb::arg("path"), pb::kw_only(), pb::arg("now") = pb::none(), pb::arg("at_risk") = false);

  m.def("main", [](pb::object argv) {
    const int status = kp::run_main(&at::command_main, argv, "attention");
    if (status != 0) {
      PyErr_SetObject(PyExc_SystemExit, pb::int_(status).ptr());
      throw pb::error_already_set();
    }
  }, pb::arg("argv") = pb::none());
}
