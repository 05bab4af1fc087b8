// Handing the process over to another program.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "kestrune/base/command.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/brc_claude/brc_claude.h"

extern char** environ;

namespace kestrune::brc_claude {
namespace {

bool executable_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string default_path() {
  size_t n = ::confstr(_CS_PATH, nullptr, 0);
  if (n > 1) {
    std::string p(n, '\0');
    ::confstr(_CS_PATH, p.data(), n);
    p.resize(n - 1);
    return p;
  }
  return "/bin:/usr/bin";
}

std::vector<char*> c_strings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  out.reserve(v.size() + 1);
  for (const std::string& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::optional<std::string> which(std::string_view name) {
  std::string cmd(name);
  if (cmd.find('/') != std::string::npos) return executable_file(cmd) ? std::optional(cmd) : std::nullopt;
  const char* env = std::getenv("PATH");
  std::string path = env ? env : default_path();
  if (path.empty()) return std::nullopt;
  std::unordered_set<std::string> seen;
  for (std::string_view dir : text::split(path, ":")) {
    if (!seen.emplace(dir).second) continue;
    std::string candidate = fs::join(dir, cmd);
    if (executable_file(candidate)) return candidate;
  }
  return std::nullopt;
}

std::vector<std::string> child_environment() {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    std::string_view key = entry.substr(0, entry.find('='));
    bool removed = false;
    for (std::string_view r : REMOVED_VARIABLES) removed = removed || key == r;
    if (!removed) out.emplace_back(entry);
  }
  return out;
}

void exec_program(const std::string& program, const std::vector<std::string>& argv,
                  const std::vector<std::string>& env) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::vector<char*> args = c_strings(argv);
  std::vector<char*> envp = c_strings(env);
  ::execvpe(program.c_str(), args.data(), envp.data());
  throw fs::OsError(errno, program);
}

void print_claude_missing() {
  command::err(
      "[brc] Error: 'claude' binary not found in PATH.\n"
      "Install Claude Code CLI: npm install -g @anthropic-ai/claude-code "
      "(https://docs.anthropic.com/en/docs/claude-code)\n");
}

}  // namespace kestrune::brc_claude
