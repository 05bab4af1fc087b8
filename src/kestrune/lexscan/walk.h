// Which files of a project tree belong in the graph, and how they are named.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "kestrune/base/fs.h"

namespace kestrune::lexscan {

// Directory names never entered, at any depth (exact, case-sensitive).
inline constexpr std::array<std::string_view, 25> SKIP_DIRS = {
    ".git",     ".beads",   ".beads-hooks", "node_modules", "vendor",
    "dist",     "build",    ".next",        ".idea",        ".vscode",
    "__pycache__", "venv",  ".venv",        ".braid",       "out",
    ".vercel",  ".turbo",   "coverage",     ".cache",       "storybook-static",
    ".parcel-cache", ".webpack", "elm-stuff", ".gradle",    "target"};

inline constexpr uint64_t MAX_FILE_BYTES = 300000;
inline constexpr size_t MAX_CONTENT_CHARS = 24000;

// Extensions whose files get symbol extraction.
inline constexpr std::array<std::string_view, 7> SYMBOL_EXTS = {".ts", ".tsx", ".js", ".jsx",
                                                                 ".py", ".php", ".cs"};
// Extensions the walk selects (compared lower-cased). PHP is not among them.
inline constexpr std::array<std::string_view, 13> SCAN_EXTS = {
    ".go", ".py", ".js", ".jsx", ".ts", ".tsx", ".swift", ".cs", ".xaml", ".json", ".yaml", ".yml", ".md"};

bool is_skip_dir(std::string_view name);
bool is_symbol_ext(std::string_view ext);

// The lower-cased final suffix of the path's last component ("" when none).
std::string lower_ext(std::string_view path);

bool should_scan(std::string_view path);

// rel() with the root already resolved: the scan resolves it once.
std::string rel_resolved(std::string_view path, const std::string& resolved_root);
// The project-relative id of `path`, from the resolved forms of both.
std::string rel(std::string_view path, std::string_view root);

// walk_files(root) is declared in lexscan.h. This form hands each selected
// path to `found` as the walk meets it, in the same order.
void walk_files(const std::string& root, const std::function<void(std::string&&)>& found);

// What a walk selects by name; the link rules are the same for every scanner.
struct Selection {
  bool (*skip_dir)(std::string_view name);   // a directory name never entered
  bool (*take_file)(std::string_view path);  // a file path the walk selects
};

// A selected file with what the walk learnt of it on the way, so that telling
// whether it changed since the last scan costs nothing more.
struct WalkedFile {
  std::string path;      // the root as given, the directories walked, the name
  std::string resolved;  // Path(path).resolve(), as the walk knew it
  fs::FileStat stat;     // of the file (a link's target), when the walk looked at it
  bool link = false;     // the name itself is a symbolic link
};

// The walk of `root` with `select`'s names and the link rules: a linked
// directory is entered only when it resolves inside the project and is not
// one of the directories on the way down to it, and a linked file is selected
// only when it resolves inside the project. Each selected regular file goes to
// `found` in walk order: a directory's own files first, then its
// subdirectories depth-first, in listing order.
void walk_selected(const std::string& root, const Selection& select, const std::function<void(WalkedFile&&)>& found);

}  // namespace kestrune::lexscan
