// Which files of a project tree this scanner reads. Its rules are its own:
// fewer directories skipped than the regex scanner, no C#, XAML or PHP files.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::treescan {

// Directory names never entered, at any depth (exact, case-sensitive).
inline constexpr std::array<std::string_view, 14> SKIP_DIRS = {
    ".git", ".beads", ".beads-hooks", "node_modules", "vendor", "dist", "build",
    ".next", ".idea", ".vscode", "__pycache__", "venv", ".venv", ".braid"};

inline constexpr uint64_t MAX_FILE_BYTES = 300000;
inline constexpr size_t MAX_CONTENT_CHARS = 24000;

// Extensions whose files get symbols.
inline constexpr std::array<std::string_view, 7> SYMBOL_EXTS = {".ts", ".tsx", ".js", ".jsx", ".py", ".php", ".go"};
// Extensions the walk selects (compared lower-cased).
inline constexpr std::array<std::string_view, 11> SCAN_EXTS = {".go",    ".py",   ".js",   ".jsx",  ".ts", ".tsx",
                                                               ".swift", ".json", ".yaml", ".yml", ".md"};

bool is_skip_dir(std::string_view name);
bool is_symbol_ext(std::string_view ext);
bool should_scan(std::string_view path);

// The selected files under `root`, in walk order, with these names and the
// link rules of lexscan::walk_selected.
std::vector<std::string> walk_files(const std::string& root);

}  // namespace kestrune::treescan
