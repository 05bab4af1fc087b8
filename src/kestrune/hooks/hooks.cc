#include "kestrune/hooks/hooks.h"

#include "kestrune/base/fs.h"

namespace kestrune::hooks {

namespace {

bool is_assignment(std::string_view word) {
  const size_t eq = word.find('=');
  if (eq == 0 || eq == std::string_view::npos) return false;
  for (size_t i = 0; i < eq; ++i) {
    const char c = word[i];
    const bool ok = c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (i > 0 && c >= '0' && c <= '9');
    if (!ok) return false;
  }
  return true;
}

json::Value handler(const std::string& command) {
  json::Object h;
  h.append("type", "command");
  h.append("command", command);
  return h;
}

}  // namespace

const std::vector<Hook>& our_hooks() {
  static const std::vector<Hook> hooks = {
      // The guard answering by exit status alone is ours too.
      {"PreToolUse", "Write|Edit|NotebookEdit|Bash", "edit_guard", {"--decision-json"}, 0},
      {"PostToolUse", "Read|Write|Edit|MultiEdit|NotebookEdit", "attention", {"record"}, 1},
      {"UserPromptSubmit", "", "br", PRIME_HOOK_ARGS, 2},
  };
  return hooks;
}

std::string shell_quote(std::string_view s) {
  if (s.empty()) return "''";
  bool safe = true;
  for (char c : s) {
    const bool word = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!word && std::string_view("@%+=:,./-").find(c) == std::string_view::npos) safe = false;
  }
  if (safe) return std::string(s);
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
  return out + "'";
}

std::vector<std::string> shell_words(std::string_view s) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\'') {
      const size_t end = s.find('\'', i + 1);
      word += s.substr(i + 1, end == std::string_view::npos ? std::string_view::npos : end - i - 1);
      i = end == std::string_view::npos ? s.size() : end;
    } else if (c == '"') {
      for (++i; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && std::string_view("\"\\$`").find(s[i + 1]) != std::string_view::npos)
          ++i;
        word += s[i];
      }
    } else if (c == '\\' && i + 1 < s.size()) {
      word += s[++i];
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::string command_line(const Hook& hook, const Install& install) {
  std::string line;
  if (hook.program == "br") {
    // br keeps the graph and its logs in the project's .braid, and builds the
    // graph there on first use from the project root, wherever the
    // assistant's working directory has moved to.
    if (install.project.empty()) {
      line = "KESTRUNE_DATA_DIR=\"$CLAUDE_PROJECT_DIR\"/.braid BRAID_PROJECT_ROOT=\"$CLAUDE_PROJECT_DIR\" ";
    } else {
      line = "KESTRUNE_DATA_DIR=" + shell_quote(fs::join(install.project, ".braid")) +
             " BRAID_PROJECT_ROOT=" + shell_quote(install.project) + " ";
    }
  }
  line += shell_quote(fs::join(install.bin_dir, hook.program));
  for (std::string_view a : hook.args) {
    line += ' ';
    line += shell_quote(a);
  }
  return line;
}

std::optional<std::string> runs(const Hook& hook, std::string_view command) {
  const std::vector<std::string> words = shell_words(command);
  size_t i = 0;
  while (i < words.size() && is_assignment(words[i])) ++i;
  if (i == words.size() || fs::name(words[i]) != hook.program) return std::nullopt;
  for (size_t k = 0; k < hook.telling && k < hook.args.size(); ++k) {
    bool found = false;
    for (size_t j = i + 1; j < words.size() && !found; ++j) found = words[j] == hook.args[k] && (k > 0 || j == i + 1);
    if (!found) return std::nullopt;
  }
  return words[i];
}

Entry entry(const Hook& hook, const Install& install) {
  json::Object group;
  if (!hook.matcher.empty()) group.append("matcher", hook.matcher);
  group.append("hooks", json::Array{handler(command_line(hook, install))});

  Entry e;
  e.where = {"hooks", std::string(hook.event)};
  e.value = std::move(group);
  // Ours is any command handler that runs the program, in any group: taken
  // out of a group it shares with others, the group gone once it held only ours.
  e.without_ours = [hook](const json::Value& g) -> std::optional<json::Value> {
    const json::Value* handlers = g.find("hooks");
    if (handlers == nullptr || !handlers->is_array()) return std::nullopt;
    json::Array rest;
    for (const json::Value& h : handlers->as_array()) {
      const json::Value* cmd = h.find("command");
      if (cmd == nullptr || !cmd->is_string() || !runs(hook, cmd->as_string())) rest.push_back(h);
    }
    if (rest.size() == handlers->as_array().size()) return std::nullopt;
    if (rest.empty()) return json::Value(nullptr);
    json::Value out = g;
    out.as_object().set("hooks", std::move(rest));
    return out;
  };
  return e;
}

std::string settings_path(const std::string& project, bool local) {
  const std::string dir = project.empty() ? fs::join(fs::expanduser("~"), ".claude") : fs::join(project, ".claude");
  return fs::join(dir, local ? "settings.local.json" : "settings.json");
}

}  // namespace kestrune::hooks
