// What the C++ test suites share: a scratch directory with file writers, and
// running a built command or an in-process command_main with its output
// captured.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::testkit {

// The whole file, or "" when it cannot be read.
inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A file of the source tree, e.g. source_path("tests/lexscan/data").
inline std::string source_path(std::string_view rel) { return std::string(KESTRUNE_SOURCE_DIR) + "/" + std::string(rel); }

// A fresh directory (its path has no links in it), removed with everything
// under it at the end of the scope, whatever permissions a test left behind.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = std::filesystem::canonical(std::filesystem::temp_directory_path()).string() + "/kestrune-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    unlock(path_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view rel) const { return path_ + "/" + std::string(rel); }

  // Writes `data` at `rel` with `mode`, creating the directories on the way; returns the path.
  std::string write(std::string_view rel, std::string_view data, mode_t mode = 0644) const {
    const std::filesystem::path p = std::filesystem::path(path_) / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(data.data(), static_cast<std::streamsize>(data.size()));
    ::chmod(p.c_str(), mode);
    return p.string();
  }
  std::string mkdir(std::string_view rel) const {
    const std::filesystem::path p = std::filesystem::path(path_) / rel;
    std::filesystem::create_directories(p);
    return p.string();
  }
  // A symbolic link at `rel` holding `target` as given.
  std::string link(std::string_view target, std::string_view rel) const {
    const std::filesystem::path p = std::filesystem::path(path_) / rel;
    std::filesystem::create_directories(p.parent_path());
    std::filesystem::create_symlink(target, p);
    return p.string();
  }
  std::string read(std::string_view rel) const { return slurp(*this / rel); }

 private:
  // Tests lock directories to provoke errors; give them back so they can go.
  static void unlock(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      if (it->is_directory(ec) && !it->is_symlink(ec)) unlock(it->path());
  }
  std::string path_;
};

// Sets (or, for nullptr, removes) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// What a command left behind.
struct Output {
  int status = -1;  // the exit status; -1 when it did not exit (a signal)
  std::string out, err;
};

// Where the built commands are: KESTRUNE_BIN_DIR, or else the build's own.
inline std::string bin_dir() {
  const char* dir = std::getenv("KESTRUNE_BIN_DIR");
  return dir && *dir ? dir : KESTRUNE_DEFAULT_BIN_DIR;
}

// Runs the built command `name` with `args` in `cwd`, `input` on its standard input.
// A command that hangs is killed after a minute (status -1), so the test fails
// instead of stopping the suite.
inline Output run_command(const std::string& name, const std::vector<std::string>& args, const std::string& cwd = ".",
                          std::string_view input = {}) {
  TempDir io;
  const std::string in = io.write("in", input), out = io / "out", err = io / "err";
  const std::string program = bin_dir() + "/" + name;
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fds[] = {::open(in.c_str(), O_RDONLY), ::open(out.c_str(), O_WRONLY | O_CREAT, 0644),
                       ::open(err.c_str(), O_WRONLY | O_CREAT, 0644)};
    for (int fd = 0; fd < 3; ++fd) ::dup2(fds[fd], fd);
    ::alarm(60);  // survives the exec
    if (::chdir(cwd.c_str()) == 0) ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
}

// Runs `fn` in this process with its standard output and error captured.
inline Output capture(const std::function<int()>& fn) {
  TempDir io;
  const std::string paths[] = {io / "out", io / "err"};
  struct Redirect {  // undone however `fn` ends
    int saved[2];
    explicit Redirect(const std::string (&to)[2]) {
      std::fflush(nullptr);
      for (int i = 0; i < 2; ++i) {
        saved[i] = ::dup(i + 1);
        const int fd = ::open(to[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, i + 1);
        ::close(fd);
      }
    }
    ~Redirect() {
      std::fflush(nullptr);
      for (int i = 0; i < 2; ++i) {
        ::dup2(saved[i], i + 1);
        ::close(saved[i]);
      }
    }
  };
  Output o;
  {
    Redirect r(paths);
    o.status = fn();
  }
  o.out = slurp(paths[0]);
  o.err = slurp(paths[1]);
  return o;
}

}  // namespace kestrune::testkit
