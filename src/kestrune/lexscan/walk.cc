#include "kestrune/lexscan/walk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <unordered_map>
#include <vector>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/lexscan.h"

namespace kestrune::lexscan {

namespace {

template <size_t N>
bool one_of(const std::array<std::string_view, N>& set, std::string_view s) {
  return std::find(set.begin(), set.end(), s) != set.end();
}

}  // namespace

NotAProjectRoot::NotAProjectRoot(const std::string& root)
    : fs::OsError(ENOTDIR, root, "project root is not a directory: " + root) {}

void require_project_root(const std::string& root) {
  if (!fs::is_dir(root)) throw NotAProjectRoot(root);
}

bool is_skip_dir(std::string_view name) { return one_of(SKIP_DIRS, name); }
bool is_symbol_ext(std::string_view ext) { return one_of(SYMBOL_EXTS, ext); }

std::string lower_ext(std::string_view path) { return text::lower(fs::suffix(path)); }

bool should_scan(std::string_view path) {
  std::string posix = fs::pure(path);
  if (text::contains(posix, "/venv/") || text::contains(posix, "/.venv/")) return false;
  return one_of(SCAN_EXTS, lower_ext(posix));
}

std::string rel_resolved(std::string_view path, const std::string& resolved_root) {
  // relpath gives the plain relative part for a path inside the root and
  // climbs out with ".." for one outside it.
  return fs::relpath(fs::resolve(path), resolved_root);
}

std::string rel(std::string_view path, std::string_view root) {
  return rel_resolved(path, fs::resolve(root));
}

std::vector<std::string> walk_files(const std::string& root) {
  std::vector<std::string> files;
  walk_files(root, [&](std::string&& path) { files.push_back(std::move(path)); });
  return files;
}

void walk_files(const std::string& root, const std::function<void(std::string&&)>& found) {
  walk_selected(root, {&is_skip_dir, &should_scan}, [&](WalkedFile&& f) { found(std::move(f.path)); });
}

void walk_selected(const std::string& root, const Selection& select, const std::function<void(WalkedFile&&)>& found) {
  const std::string resolved_root = fs::resolve(root);
  // Each directory entered, resolved: a plain subdirectory's resolved path is
  // its parent's joined with its name, so only links cost a resolution.
  std::unordered_map<std::string, std::string> resolved_dirs{{root, resolved_root}};

  // Where a linked directory leads, when it may be entered: only inside the
  // project, and never back into a directory on the way down to it (that
  // would walk forever).
  auto linked_target = [&](const std::string& dir, std::span<const std::string> stack) -> std::optional<std::string> {
    try {
      std::string target = fs::resolve(dir);
      if (!fs::is_within(target, resolved_root)) return std::nullopt;
      for (const auto& on_path : stack)
        if (resolved_dirs.at(on_path) == target) return std::nullopt;
      return target;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  };

  fs::walk(root, [&](fs::WalkStep& step) {
    const std::string here = resolved_dirs.at(step.dirpath);
    auto keep_dir = [&](const std::string& d) {
      if (select.skip_dir(d)) return false;
      std::string dir = fs::join(step.dirpath, d);
      std::optional<std::string> resolved = fs::join(here, d);
      if (std::find(step.linked_dirnames.begin(), step.linked_dirnames.end(), d) != step.linked_dirnames.end())
        resolved = linked_target(dir, step.stack);
      if (!resolved) return false;
      resolved_dirs[std::move(dir)] = std::move(*resolved);
      return true;
    };
    std::erase_if(step.dirnames, [&](const std::string& d) { return !keep_dir(d); });
    for (const auto& name : step.filenames) {
      WalkedFile f;
      f.path = fs::join(step.dirpath, name);
      try {
        if (!select.take_file(f.path)) continue;
        // A regular file, links followed; a linked file only when it resolves
        // inside the project, so that no file outside it (a link to
        // ~/.ssh/id_rsa in a cloned repository) reaches the graph. One lstat
        // decides for a plain file.
        std::optional<fs::FileStat> st = fs::stat_at(step.dir_fd, name, /*follow_links=*/false);
        if (!st) continue;
        f.link = S_ISLNK(st->mode);
        if (f.link) {
          st = fs::stat_at(step.dir_fd, name);
          if (!st || !S_ISREG(st->mode)) continue;
          f.resolved = fs::resolve(f.path);
          if (!fs::is_within(f.resolved, resolved_root)) continue;
        } else {
          if (!S_ISREG(st->mode)) continue;
          f.resolved = fs::join(here, name);
        }
        f.stat = *st;
      } catch (const std::exception&) {
        // An unreadable or vanished entry is simply not selected.
        continue;
      }
      found(std::move(f));
    }
  });
}

}  // namespace kestrune::lexscan
