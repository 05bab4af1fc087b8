// File-system helpers with the semantics of Python's os, os.path and pathlib (POSIX).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/text.h"

namespace kestrune::fs {

// An operating-system error. what() reads like Python's OSError:
// "[Errno 2] No such file or directory: 'path'".
struct OsError : std::runtime_error {
  OsError(int err, const std::string& path);
  int err;
  std::string path;
};

// ---- reading and writing --------------------------------------------------

std::string read_bytes(const std::string& path);  // throws OsError
// open(path, encoding="utf-8", errors=...).read(): decoded, universal newlines.
std::string read_text(const std::string& path, text::Errors errors);
// Replaces `path` whole: writes a temporary file in the same directory, then
// renames it over `path`. Throws OsError; never leaves a half-written `path`.
void write_atomic(const std::string& path, std::string_view data);
// Appends `data` with a single write(2) on an O_APPEND descriptor (creates the file).
void append(const std::string& path, std::string_view data);
// os.makedirs(path, exist_ok=True)
void makedirs(const std::string& path);

// ---- status (links followed unless the name says otherwise) --------------

bool exists(const std::string& path);
bool is_dir(const std::string& path);
bool is_file(const std::string& path);  // a regular file
bool is_link(const std::string& path);  // lstat
std::optional<uint64_t> file_size(const std::string& path);  // nullopt when stat fails
uint64_t file_size_or_throw(const std::string& path);         // throws OsError

// ---- paths ----------------------------------------------------------------

std::string cwd();
std::string join(std::string_view a, std::string_view b);  // os.path.join(a, b)
std::string normpath(std::string_view p);                  // os.path.normpath
std::string abspath(std::string_view p);                   // os.path.abspath
std::string expanduser(std::string_view p);                // os.path.expanduser ("~" and "~/...")
// Path(p).resolve(): absolute, links resolved as far as they exist, the rest appended.
std::string resolve(std::string_view p);
std::string relpath(std::string_view p, std::string_view start);  // os.path.relpath
// str(PurePosixPath(p)): repeated slashes and "." components collapse, a
// trailing slash is dropped, ".." is kept; "" renders as ".".
std::string pure(std::string_view p);
std::string parent(std::string_view p);    // str(PurePosixPath(p).parent)
std::string name(std::string_view p);      // PurePosixPath(p).name
std::string suffix(std::string_view p);    // PurePosixPath(p).suffix ("" for ".hidden" and "foo.")
std::string dirname(std::string_view p);   // os.path.dirname
// Whether `p` equals or lies under `root` (both already absolute and normalised).
bool is_within(std::string_view p, std::string_view root);
// The directory holding the running executable (/proc/self/exe resolved).
std::string self_exe_dir();

// ---- walking --------------------------------------------------------------

// One step of walk(): the directory, its subdirectory names (prune them in
// place to stop descent) and its other entry names, in directory-listing
// order. `stack` holds the paths of the directories from `top` down to this one.
struct WalkStep {
  const std::string& dirpath;
  std::vector<std::string>& dirnames;
  const std::vector<std::string>& filenames;
  std::span<const std::string> stack;
};

// os.walk(top, topdown=True, followlinks=followlinks): entries are classified
// with links followed (a dangling link is a file), unreadable directories are
// skipped silently, no sorting anywhere.
void walk(const std::string& top, const std::function<void(WalkStep&)>& visit,
          bool followlinks = true);

}  // namespace kestrune::fs
