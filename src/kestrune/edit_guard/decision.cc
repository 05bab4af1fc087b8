#include <algorithm>

#include "kestrune/base/attention.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/base/json_exact.h"
#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"
#include "kestrune/edit_guard/edit_guard.h"
#include "kestrune/edit_guard/paths.h"

namespace kestrune::edit_guard {

const re::Regex& hard_bash() {
  static const re::Regex rx(HARD_BASH, re::I | re::M);
  return rx;
}

const re::Regex& soft_bash() {
  static const re::Regex rx(SOFT_BASH, re::I | re::M);
  return rx;
}

const re::Regex& target_pattern() {
  static const re::Regex rx(TARGET_PATTERN);
  return rx;
}

namespace {

std::string_view string_or_empty(const json::Value* v) {
  return v != nullptr && v->is_string() ? std::string_view(v->as_string()) : std::string_view{};
}

bool is_write_tool(std::string_view tool) {
  return std::find(WRITE_TOOLS.begin(), WRITE_TOOLS.end(), tool) != WRITE_TOOLS.end();
}

// The call as the guard sees it.
struct Call {
  std::string label;  // the operation, as the message names it
  bool hard = false;  // a destructive shell command
  std::vector<std::string> targets;
};

// The files a call touches: the path fields every tool may carry, then for a
// shell command the first argument of each rm and the target of each single
// ">". An argument without a slash is not taken for a file (too many false
// positives: "rm -rf core" names no path we could match).
std::vector<std::string> target_paths(std::string_view tool, const json::Value* input,
                                      std::string_view command) {
  std::vector<std::string> targets;
  for (std::string_view field : {"file_path", "path", "notebook_path"}) {
    std::string_view v = text::strip(string_or_empty(input ? input->find(field) : nullptr));
    if (!v.empty()) targets.emplace_back(v);
  }
  if (tool == BASH_TOOL) {
    target_pattern().finditer(command, [&](const re::Match& m) {
      std::string_view t = text::strip(m.group(1));
      if (!t.empty() && t.front() != '-' && t.find('/') != std::string_view::npos)
        targets.emplace_back(t);
      return true;
    });
  }
  return targets;
}

// The minutes since `last_ts` as the message shows them.
std::string minutes_ago(int64_t now, int64_t last_ts) {
  if (last_ts == 0) return "?";
  double minutes = static_cast<double>(static_cast<__int128>(now) - last_ts) / 60.0;
  return std::to_string(text::round_half_even(minutes));
}

struct AtRisk {
  std::string_view path;
  const attention::Record* record;
};

std::string message(std::string_view severity, const Call& call, const std::vector<AtRisk>& listed,
                    int64_t now) {
  std::string m;
  m += "Kestrune Edit Guard [";
  m += severity;
  m += "]\nOperation: ";
  m += call.label;
  m += "\n\nThe following high-attention files will be affected:\n\n";
  for (const AtRisk& e : listed) {
    std::vector<std::string> parts;
    if (e.record->reads != 0) parts.push_back("read " + std::to_string(e.record->reads) + "\u00d7");
    if (e.record->edits != 0) parts.push_back("edited " + std::to_string(e.record->edits) + "\u00d7");
    m += "  ";
    m += e.path;
    m += "  [";
    m += text::join(parts, ", ");
    m += ", last touched ";
    m += minutes_ago(now, e.record->last_ts);
    m += " min ago]\n";
  }
  m += "\nThis operation cannot be undone.\n";
  m += severity == "HARD BLOCK" ? "Please type 'yes, proceed' to confirm, or rephrase your request."
                                : "Please confirm with the user before proceeding.";
  m += "\n\n  (To bypass: set BR_EDIT_GUARD=0 in your environment)";
  return m;
}

// decide() once the guard is on; a parse failure, like any other, throws.
Decision decide_call(std::string_view input, const Host& host) {
  // Read as strict UTF-8: undecodable bytes or a byte-order mark are not a hook call.
  if (!text::is_valid_utf8(input) || text::starts_with(input, "\xEF\xBB\xBF")) return {};
  const json::Value hook = json::parse_exact(input);
  if (!hook.is_object()) return {};
  std::string_view tool = string_or_empty(hook.find("tool_name"));
  const json::Value* input_obj = hook.find("tool_input");
  if (input_obj != nullptr && !input_obj->is_object()) input_obj = nullptr;

  // Which calls are guarded at all.
  Call call;
  std::string_view command;
  bool guarded_tool = is_write_tool(tool) || tool == EDIT_TOOL;
  if (guarded_tool) {
    call.label = tool;
  } else if (tool == BASH_TOOL) {
    command = string_or_empty(input_obj ? input_obj->find("command") : nullptr);
    bool soft = false;
    if (hard_bash().contains(command))
      call.hard = true;
    else
      soft = soft_bash().contains(command);
    call.label = "bash: ";
    call.label += text::strip(text::head(command, MAX_COMMAND_CHARS));
    guarded_tool = call.hard || soft;
  }
  if (!guarded_tool) return {};

  call.targets = target_paths(tool, input_obj, command);
  if (call.targets.empty() && !call.hard) return {};

  // Each target as the file it names; as written when that cannot be worked out.
  Resolver resolver(host.cwd);
  std::vector<std::string> normalized;
  normalized.reserve(call.targets.size());
  for (const std::string& t : call.targets) {
    std::optional<std::string> n = resolver.normalize(t);
    normalized.push_back(n ? std::move(*n) : fs::pure(t));
  }

  std::string data_dir;
  if (std::optional<std::string> env = host.getenv("BR_DATA_DIR"); env && !env->empty()) {
    data_dir = fs::pure(*env);
  } else {
    std::vector<std::string> roots = normalized;
    if (host.cwd) roots.push_back(*host.cwd);
    std::optional<std::string> found = search_data_dir(roots);
    if (!found) return {};
    data_dir = std::move(*found);
  }
  const std::string project_root = fs::parent(data_dir);

  std::optional<std::string> bytes = host.read_file(fs::join(data_dir, ATTENTION_FILE));
  if (!bytes) return {};
  std::optional<std::vector<attention::Action>> actions = attention::parse_actions(*bytes);
  if (!actions) return {};
  const int64_t now = host.now();
  const std::vector<attention::Record> records = attention::tally(*actions, now);

  // A record's file resolved under the project root, worked out once and only
  // when a target's walk reaches it.
  std::vector<std::optional<std::string>> record_paths(records.size());
  auto record_path = [&](size_t i) -> const std::string& {
    if (!record_paths[i]) {
      std::optional<std::string> r = resolver.resolve(fs::join(project_root, records[i].file));
      record_paths[i] = r ? std::move(*r) : fs::pure(records[i].file);
    }
    return *record_paths[i];
  };

  std::vector<AtRisk> at_risk;
  for (const std::string& target : normalized) {
    for (size_t i = 0; i < records.size(); ++i) {
      if (record_path(i) != target) continue;
      if (records[i].score >= ATTENTION_THRESHOLD) at_risk.push_back({records[i].file, &records[i]});
      break;
    }
  }
  if (at_risk.empty()) return {};

  std::stable_sort(at_risk.begin(), at_risk.end(), [](const AtRisk& a, const AtRisk& b) {
    return a.record->score > b.record->score;
  });
  if (at_risk.size() > MAX_LISTED_FILES) at_risk.resize(MAX_LISTED_FILES);
  int64_t most_edits = 0;
  for (const AtRisk& e : at_risk) most_edits = std::max(most_edits, e.record->edits);

  Decision d;
  d.verdict = call.hard && most_edits >= HARD_BLOCK_MIN_EDITS ? Verdict::Block : Verdict::Warn;
  d.message = message(d.verdict == Verdict::Block ? "HARD BLOCK" : "WARNING", call, at_risk, now);
  return d;
}

}  // namespace

Decision decide(std::string_view input, const Host& host) {
  if (host.getenv("BR_EDIT_GUARD") == "0") return {};
  // The hook runs before every tool call: whatever goes wrong in here (memory
  // for an enormous input, a regex engine limit) must not stop the assistant.
  try {
    return decide_call(input, host);
  } catch (...) {
    return {};
  }
}

}  // namespace kestrune::edit_guard
