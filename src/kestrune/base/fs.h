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

struct stat;

namespace kestrune::fs {

// An operating-system error. what() reads like Python's OSError:
// "[Errno 2] No such file or directory: 'path'".
struct OsError : std::runtime_error {
  OsError(int err, const std::string& path);
  int err;
  std::string path;

 protected:
  OsError(int err, const std::string& path, const std::string& what);
};

// A name that holds something other than a regular file (a FIFO, a socket, a
// device) where a file is read or appended to. err is EINVAL; what() is
// "Not a regular file: 'path'". A directory is reported as OsError(EISDIR).
struct NotRegularFile : OsError {
  explicit NotRegularFile(const std::string& path);
};

// A file descriptor, closed when dropped.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release();

 private:
  int fd_ = -1;
};

// ---- reading files by name ------------------------------------------------
//
// Every file the product reads by name goes through open_for_reading(). The
// open never waits: O_NONBLOCK, so a FIFO without a writer or a device cannot
// hang the command. fstat then tells what the name holds, and only a regular
// file (links followed) is ever read. Each caller decides whether anything
// else counts as absent (the *_if_file readers) or as unreadable (read_bytes,
// read_text, json::load_file).

// What stat tells of a file that moves whenever its bytes may have changed: a
// file whose FileStat is the same as before can be trusted unchanged without
// reading it (up to the racy window a cache must allow for, see ctime_ns).
struct FileStat {
  uint64_t size = 0;
  int64_t mtime_ns = 0;  // nanoseconds since the epoch
  int64_t ctime_ns = 0;  // set by the kernel on every change, never by a program
  uint64_t ino = 0, dev = 0;
  uint32_t mode = 0;  // type and permission bits
  bool operator==(const FileStat&) const = default;
};
FileStat file_stat(const struct ::stat& st);
// stat(2) of `path` (lstat(2) with follow_links false); nullopt when it fails.
std::optional<FileStat> stat_path(const std::string& path, bool follow_links = true);
// The same for `name` in the open directory `dir_fd` (fstatat).
std::optional<FileStat> stat_at(int dir_fd, const std::string& name, bool follow_links = true);

enum class Found {
  File,     // a regular file, open for reading
  Nothing,  // no such name (ENOENT, ENOTDIR, a dangling link or a link loop)
  Other,    // a directory, FIFO, socket or device: not opened
};

struct OpenedFile {
  Found found = Found::Nothing;
  UniqueFd fd;        // open read-only when found == File (O_NONBLOCK stays set: no effect on a regular file)
  uint64_t size = 0;  // the file's size when opened
  FileStat stat{};    // the open file's status (found == File)
  bool dir = false;   // found == Other and the name is a directory
  bool link = false;  // the name itself is a symbolic link; told only when asked for
};

// Opens `path` for reading. With tell_link, the name is looked up once without
// following a final link (O_NOFOLLOW) and, only when it is one, again through
// it, so `link` says what the name is at no extra cost for plain files.
// Throws OsError for every failure other than the two outcomes above
// (permission denied, I/O error, a name too long).
OpenedFile open_for_reading(const std::string& path, bool tell_link = false);

// The file must be there and be a regular file: throws OsError(ENOENT) when it
// is missing, OsError(EISDIR) for a directory, NotRegularFile for the rest.
std::string read_bytes(const std::string& path);
// open(path, encoding="utf-8", errors=...).read(): decoded, universal newlines.
std::string read_text(const std::string& path, text::Errors errors);
// read_bytes and read_text, but nullopt when nothing by that name exists or it
// is not a regular file; they still throw OsError when a regular file cannot
// be opened or read (permission denied, I/O error).
std::optional<std::string> read_bytes_if_file(const std::string& path);
std::optional<std::string> read_text_if_file(const std::string& path, text::Errors errors);

// ---- writing --------------------------------------------------------------

// Writes all of `data` to `fd`, retrying short writes and EINTR. Throws
// OsError(errno, name) on failure (EPIPE for a reader that went away).
void write_all(int fd, std::string_view data, const std::string& name);

// A file replaced whole, written as a stream: the one way the product replaces
// a file.
//
// The bytes go to a temporary file in the target's directory: an unnamed one
// (O_TMPFILE) where the file system supports it, given a name only at commit,
// just before it is renamed over the target; otherwise a named one,
// ".<name>.kestrune-XXXXXX" (six letters or digits). Until commit() returns the target
// is untouched; after it the target holds exactly the bytes written.
//  - A writer dropped without commit (an exception, a failed write) removes
//    its temporary.
//  - A process killed while writing leaves no name behind with an unnamed
//    temporary (the kernel reclaims it); a named one stays until a later
//    writer of the same target cleans up: every writer removes the regular
//    files of its own temporary pattern (".<name>.kestrune-XXXXXX", owned by this user,
//    unmodified for an hour) in the directory it writes to.
//  - Through a symbolic link the file it names is replaced, not the link.
//  - The new file has mode 0666 less the umask, like any file Python creates.
// Every failure throws OsError naming `path`.
class AtomicWriter {
 public:
  // allow_unnamed = false always uses a named temporary (for tests).
  explicit AtomicWriter(const std::string& path, bool allow_unnamed = true);
  ~AtomicWriter();
  AtomicWriter(const AtomicWriter&) = delete;
  AtomicWriter& operator=(const AtomicWriter&) = delete;

  void write(std::string_view data);
  // The parts one after another, many to a system call.
  void write(std::span<const std::string_view> parts);

  // How commit() puts the file in place; readers see the old file or the new
  // one, never a mix, either way.
  enum class Commit {
    // rename(2) over the old file. On ext4 (auto_da_alloc) that starts writing
    // the new data to disk at once, so that a power loss soon after finds the
    // old file or the new one.
    durable,
    // Swapped with the old file (renameat2 RENAME_EXCHANGE), which is then
    // removed; a plain rename where the swap cannot be made. Nothing is sent to
    // the disk before the kernel's usual write-back, so a file rewritten every
    // few seconds costs almost no disk traffic and its writer never waits for
    // the disk to finish with the version before. A power loss within the
    // write-back delay (about half a minute) may leave the file empty: for
    // files that are cheap to lose, written often, such as the attention record.
    cheap,
  };
  // Puts the file in place. Once only; nothing may be written after it.
  void commit(Commit how = Commit::durable);

  // Whether the temporary is unnamed (O_TMPFILE).
  bool unnamed() const { return unnamed_; }

 private:
  std::string path_, target_, prefix_, tmp_;  // tmp_: the temporary's name, once it has one
  UniqueFd fd_;
  bool unnamed_ = false;
  bool committed_ = false;
};

// Replaces `path` whole with `data` (an AtomicWriter written once).
void write_atomic(const std::string& path, std::string_view data,
                  AtomicWriter::Commit how = AtomicWriter::Commit::durable);
// Appends `data` with a single write(2) on an O_APPEND descriptor (creates the
// file). The open never waits: a FIFO or device throws NotRegularFile.
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
// `dir_fd` is the directory, open while the step is visited: status of its
// entries through it (fstatat) spares the kernel walking the whole path again.
// `linked_dirnames` are the dirnames that are symbolic links.
struct WalkStep {
  const std::string& dirpath;
  std::vector<std::string>& dirnames;
  const std::vector<std::string>& filenames;
  std::span<const std::string> stack;
  int dir_fd = -1;
  const std::vector<std::string>& linked_dirnames;
};

// os.walk(top, topdown=True, followlinks=followlinks): entries are classified
// with links followed (a dangling link is a file), unreadable directories are
// skipped silently, no sorting anywhere.
void walk(const std::string& top, const std::function<void(WalkStep&)>& visit,
          bool followlinks = true);

}  // namespace kestrune::fs
