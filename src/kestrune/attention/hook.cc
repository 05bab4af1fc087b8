// What one PostToolUse hook call records, and where.
#include "kestrune/attention/attention.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/base/json_exact.h"
#include "kestrune/base/text.h"

namespace kestrune::attention {

namespace {

std::string_view string_or_empty(const json::Value* v) {
  return v != nullptr && v->is_string() ? std::string_view(v->as_string()) : std::string_view{};
}

bool has_parent_step(std::string_view path) {
  for (size_t i = 0; i <= path.size();) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    if (path.substr(i, j - i) == "..") return true;
    i = j + 1;
  }
  return false;
}

// The kind of action a tool's call is; empty for a tool that records nothing.
std::string_view kind_of(std::string_view tool) {
  if (tool == "Read") return READ;
  for (std::string_view t : {"Write", "Edit", "MultiEdit", "NotebookEdit"})
    if (tool == t) return EDIT_OBSERVATION;
  return {};
}

}  // namespace

Place place_for(std::string_view root, std::string_view br_data_dir) {
  Place p;
  p.data_dir = br_data_dir.empty() ? fs::join(fs::abspath(root), DATA_DIR_NAME) : fs::abspath(br_data_dir);
  p.file = fs::join(p.data_dir, FILE_NAME);
  p.root = fs::parent(p.data_dir);
  return p;
}

std::string stored_path(std::string_view file, std::string_view base, std::string_view root) {
  const std::string path = fs::pure(fs::join(base, file));
  const std::string top = fs::pure(root);
  // Lexically inside is inside, unless a ".." may step out through a link.
  if (!has_parent_step(path) && fs::is_within(path, top)) return fs::relpath(path, top);
  try {
    const std::string real = fs::resolve(path);
    const std::string real_top = fs::resolve(top);
    if (fs::is_within(real, real_top)) return fs::relpath(real, real_top);
  } catch (const std::exception&) {
    // A link loop: the path as given.
  }
  return path;
}

std::optional<HookCall> hook_call(std::string_view input, const HookEnv& env) {
  // Strict UTF-8 JSON, as the guard reads its input.
  if (!text::is_valid_utf8(input) || text::starts_with(input, "\xEF\xBB\xBF")) return std::nullopt;
  json::Value hook;
  try {
    hook = json::parse_exact(input);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!hook.is_object()) return std::nullopt;
  const std::string_view tool = string_or_empty(hook.find("tool_name"));
  const std::string_view kind = kind_of(tool);
  if (kind.empty()) return std::nullopt;
  const json::Value* in = hook.find("tool_input");
  std::string_view file = text::strip(string_or_empty(in ? in->find("file_path") : nullptr));
  if (file.empty()) file = text::strip(string_or_empty(in ? in->find("notebook_path") : nullptr));
  if (file.empty() || file.find('\0') != std::string_view::npos) return std::nullopt;

  // Everything relative is taken from the hook's directory, else ours.
  const std::string_view hook_cwd = string_or_empty(hook.find("cwd"));
  const std::string base = hook_cwd.empty() ? env.cwd : fs::join(env.cwd, hook_cwd);
  const std::string_view root = !env.claude_project_dir.empty() ? env.claude_project_dir
                                : !hook_cwd.empty()             ? hook_cwd
                                                                : std::string_view(env.cwd);
  const std::string abs_root = fs::pure(fs::join(env.cwd, root));
  // Without a working directory only absolute paths can be placed.
  if (!abs_root.starts_with("/") || (!file.starts_with("/") && !base.starts_with("/"))) return std::nullopt;
  const std::string data_dir = env.br_data_dir.empty() ? std::string() : fs::pure(fs::join(env.cwd, env.br_data_dir));

  HookCall call;
  call.place = place_for(abs_root, data_dir);
  call.action.kind = kind;
  call.action.file = stored_path(file, base, call.place.root);
  call.action.tool = tool;
  call.action.session = string_or_empty(hook.find("session_id"));
  return call;
}

}  // namespace kestrune::attention
