#include "kestrune/treescan/walk.h"

#include <algorithm>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/lexscan/walk.h"

namespace kestrune::treescan {

namespace {

template <size_t N>
bool one_of(const std::array<std::string_view, N>& set, std::string_view s) {
  return std::find(set.begin(), set.end(), s) != set.end();
}

}  // namespace

bool is_skip_dir(std::string_view name) { return one_of(SKIP_DIRS, name); }
bool is_symbol_ext(std::string_view ext) { return one_of(SYMBOL_EXTS, ext); }

bool should_scan(std::string_view path) {
  std::string posix = fs::pure(path);
  if (text::contains(posix, "/venv/") || text::contains(posix, "/.venv/")) return false;
  return one_of(SCAN_EXTS, lexscan::lower_ext(posix));
}

std::vector<std::string> walk_files(const std::string& root) {
  const std::string resolved_root = fs::resolve(root);
  std::vector<std::string> files;

  // A link is followed only to a target inside the project; a linked
  // directory is also never entered again below itself (that would walk forever).
  auto target_inside = [&](const std::string& path, std::span<const std::string> stack) {
    try {
      std::string target = fs::resolve(path);
      if (!fs::is_within(target, resolved_root)) return false;
      for (const auto& on_path : stack)
        if (fs::resolve(on_path) == target) return false;
      return true;
    } catch (const std::exception&) {
      return false;
    }
  };

  fs::walk(root, [&](fs::WalkStep& step) {
    std::erase_if(step.dirnames, [&](const std::string& d) {
      if (is_skip_dir(d)) return true;
      std::string dir = fs::join(step.dirpath, d);
      return fs::is_link(dir) && !target_inside(dir, step.stack);
    });
    for (const auto& name : step.filenames) {
      std::string path = fs::join(step.dirpath, name);
      try {
        if (!should_scan(path) || !fs::is_file(path)) continue;
        if (fs::is_link(path) && !target_inside(path, {})) continue;
      } catch (const std::exception&) {
        // An unreadable or vanished entry is simply not selected.
        continue;
      }
      files.push_back(std::move(path));
    }
  });
  return files;
}

}  // namespace kestrune::treescan
