// Path resolution for the guard: where the attention data lives, and which
// file a path really names.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrune::edit_guard {

// Resolves paths like pathlib's non-strict Path.resolve(): links followed as
// far as they exist, the rest appended. One hook call resolves the same
// directories again and again (every attention entry under the project root),
// so each directory is resolved once, what each path component is gets asked
// of the file system only once, and a directory asked about many names is
// read once rather than each name looked up by a system call of its own.
class Resolver {
 public:
  explicit Resolver(std::optional<std::string> cwd) : cwd_(std::move(cwd)) {}
  ~Resolver();
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

  // The entries of a directory read so far, with their types.
  struct Listing {
    static constexpr int UNOPENED = -1, DONE = -2;
    int fd = UNOPENED;  // open while there is more to read
    int names_asked = 0;
    size_t entries = 0;
    std::vector<std::unique_ptr<char[]>> buffers;  // the entries as read, names in place
    std::unordered_map<std::string_view, unsigned char> types;
  };
  unsigned char listed_type(const std::string& dir, std::string_view name);
  void close_listing(Listing& l);

  std::optional<std::string> cwd_;
  std::unordered_map<std::string, Probe> probes_;
  // Directories as written, resolved (nullopt: a link loop).
  std::unordered_map<std::string, std::optional<std::string>> dirs_;
  // Resolved directories, by path.
  std::unordered_map<std::string, Listing> listings_;
  size_t open_listings_ = 0;
};

// The directory ".braid" holding the attention file nearest above one of the
// search roots, tried in order; nullopt when there is none.
std::optional<std::string> search_data_dir(const std::vector<std::string>& roots);

}  // namespace kestrune::edit_guard
