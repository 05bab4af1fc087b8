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
  std::vector<std::string> files;
  lexscan::walk_selected(root, {&is_skip_dir, &should_scan},
                         [&](lexscan::WalkedFile&& f) { files.push_back(std::move(f.path)); });
  return files;
}

}  // namespace kestrune::treescan
