// Path resolution for the guard: where the attention data lives, and which
// file a path really names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrune::edit_guard {

// Resolves paths like pathlib's non-strict Path.resolve(): links followed as
// far as they exist, the rest appended. One hook call resolves the same
// directories again and again (every attention entry under the project root),
// so each directory is resolved once and what each path component is gets
// asked of the file system only once.
class Resolver {
 public:
  explicit Resolver(std::optional<std::string> cwd) : cwd_(std::move(cwd)) {}
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // The absolute resolved path, or nullopt when it cannot be resolved: a link
  // loop, a NUL byte, a relative path without a working directory.
  std::optional<std::string> resolve(std::string_view path);

  // A leading "~" expanded, then resolve(); nullopt also when there is no home.
  std::optional<std::string> normalize(std::string_view raw);

  const std::optional<std::string>& cwd() const { return cwd_; }

 private:
  struct Probe {
    bool is_link = false;
    bool barren = false;  // nothing can exist below it: missing, or not a directory
    std::string target;
  };
  const Probe& probe(const std::string& parent, const std::string& path);
  bool join_real(std::string& path, std::string_view rest,
                 std::unordered_map<std::string, std::optional<std::string>>& seen);
  std::optional<std::string> resolve_absolute(std::string_view full);

  std::optional<std::string> cwd_;
  std::unordered_map<std::string, Probe> probes_;
  // Directories as written, resolved (nullopt: a link loop).
  std::unordered_map<std::string, std::optional<std::string>> dirs_;
};

// The directory ".braid" holding the attention file nearest above one of the
// search roots, tried in order; nullopt when there is none.
std::optional<std::string> search_data_dir(const std::vector<std::string>& roots);

}  // namespace kestrune::edit_guard
