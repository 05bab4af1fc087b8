// File-system helpers with Python's os / os.path / pathlib semantics (POSIX).
#include "kestrune/base/fs.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>

#include "kestrune/base/json.h"

namespace kestrune::fs {

namespace {

std::string os_error_text(int err, const std::string& path) {
  std::string msg = "[Errno " + std::to_string(err) + "] " + std::strerror(err);
  // Python leaves the file name out when there is none (os.getcwd()).
  if (!path.empty()) msg += ": " + json::py_repr(json::Value(path));
  return msg;
}

bool stat_ok(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st) == 0; }

std::string_view rstrip_slashes(std::string_view s) {
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return s;
}

// os.path.split(p)
std::pair<std::string, std::string> split(std::string_view p) {
  size_t i = p.rfind('/') + 1;  // npos + 1 == 0
  std::string_view head = p.substr(0, i), tail = p.substr(i);
  std::string_view stripped = rstrip_slashes(head);
  if (!stripped.empty()) head = stripped;
  return {std::string(head), std::string(tail)};
}

// The root and the components of PurePosixPath(p).
struct PureParts {
  std::string_view root;  // "", "/" or "//"
  std::vector<std::string_view> parts;
};

PureParts pure_parts(std::string_view p) {
  PureParts out;
  if (p.starts_with("//") && !p.starts_with("///"))
    out.root = "//";
  else if (p.starts_with("/"))
    out.root = "/";
  size_t i = 0;
  while (i < p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string_view::npos) j = p.size();
    std::string_view part = p.substr(i, j - i);
    if (!part.empty() && part != ".") out.parts.push_back(part);
    i = j + 1;
  }
  return out;
}

std::string render(std::string_view root, const std::vector<std::string_view>& parts, size_t n) {
  std::string out(root);
  for (size_t k = 0; k < n; ++k) {
    if (k) out += '/';
    out += parts[k];
  }
  return out.empty() ? "." : out;
}

// posixpath._joinrealpath: resolves `rest` onto `path`, following links as
// far as they exist. Returns false (with the partial path) on a link loop.
// `seen` maps each link met to its resolution, nullopt while it is being resolved.
using SeenLinks = std::map<std::string, std::optional<std::string>, std::less<>>;

bool join_realpath(std::string& path, std::string_view rest, SeenLinks& seen) {
  if (rest.starts_with("/")) {
    rest.remove_prefix(1);
    path.assign(1, '/');
  }
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view name = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!path.empty()) {
        auto [head, tail] = split(path);
        path = tail == ".." ? join(join(head, ".."), "..") : head;
      } else {
        path.assign(2, '.');
      }
      continue;
    }
    std::string newpath = join(path, name);
    struct stat st;
    if (::lstat(newpath.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      path = std::move(newpath);
      continue;
    }
    if (auto it = seen.find(newpath); it != seen.end()) {
      if (it->second) {
        path = *it->second;
        continue;
      }
      path = join(newpath, rest);
      return false;
    }
    seen[newpath] = std::nullopt;
    std::string target(PATH_MAX, '\0');
    ssize_t n = ::readlink(newpath.c_str(), target.data(), target.size());
    if (n < 0) {
      // Vanished or unreadable since lstat: take the name as it stands.
      seen.erase(newpath);
      path = std::move(newpath);
      continue;
    }
    target.resize(static_cast<size_t>(n));
    if (!join_realpath(path, target, seen)) {
      path = join(path, rest);
      return false;
    }
    seen[newpath] = path;
  }
  return true;
}

}  // namespace

OsError::OsError(int err, const std::string& path)
    : std::runtime_error(os_error_text(err, path)), err(err), path(path) {}
OsError::OsError(int err, const std::string& path, const std::string& what)
    : std::runtime_error(what), err(err), path(path) {}

NotRegularFile::NotRegularFile(const std::string& path)
    : OsError(EINVAL, path, "Not a regular file: " + json::py_repr(json::Value(path))) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}
UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}
int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

// ---- reading files by name ------------------------------------------------------

OpenedFile open_for_reading(const std::string& path, bool tell_link) {
  // O_NOCTTY: a terminal named by mistake must not become ours.
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  OpenedFile f;
  int fd = ::open(path.c_str(), kFlags | (tell_link ? O_NOFOLLOW : 0));
  if (fd < 0 && tell_link && errno == ELOOP) {
    f.link = true;
    fd = ::open(path.c_str(), kFlags);
  }
  if (fd < 0) {
    const int e = errno;
    if (e == ENOENT || e == ENOTDIR || e == ELOOP) return f;
    if (e == ENXIO) {  // a socket, or a device with nothing behind it
      f.found = Found::Other;
      return f;
    }
    throw OsError(e, path);
  }
  UniqueFd owned(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) throw OsError(errno, path);
  if (!S_ISREG(st.st_mode)) {
    f.found = Found::Other;
    f.dir = S_ISDIR(st.st_mode);
    return f;
  }
  f.found = Found::File;
  f.fd = std::move(owned);
  f.size = static_cast<uint64_t>(st.st_size);
  f.stat = file_stat(st);
  return f;
}

FileStat file_stat(const struct ::stat& st) {
  FileStat s;
  s.size = static_cast<uint64_t>(st.st_size);
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  s.ino = static_cast<uint64_t>(st.st_ino);
  s.dev = static_cast<uint64_t>(st.st_dev);
  s.mode = static_cast<uint32_t>(st.st_mode);
  return s;
}

std::optional<FileStat> stat_at(int dir_fd, const std::string& name, bool follow_links) {
  struct stat st;
  if (::fstatat(dir_fd, name.c_str(), &st, follow_links ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return file_stat(st);
}

std::optional<FileStat> stat_path(const std::string& path, bool follow_links) {
  struct stat st;
  if ((follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return std::nullopt;
  return file_stat(st);
}

namespace {

// The rest of an open file, read to its end; `size_hint` sizes the buffer.
std::string read_to_end(int fd, uint64_t size_hint, const std::string& path) {
  std::string out;
  // One byte more than the size, so a file read whole ends with a read of 0
  // into spare room rather than a regrowth.
  out.reserve(static_cast<size_t>(size_hint) + 1);
  char buf[1 << 16];
  for (;;) {
    // Read straight into the string's spare capacity when there is room.
    size_t spare = out.capacity() - out.size();
    if (spare > 0 && (spare >= sizeof buf || out.size() <= size_hint)) {
      size_t old = out.size();
      out.resize(out.capacity());
      ssize_t n = ::read(fd, out.data() + old, spare);
      if (n < 0) {
        int e = errno;
        out.resize(old);
        if (e == EINTR) continue;
        throw OsError(e, path);
      }
      out.resize(old + static_cast<size_t>(n));
      if (n == 0) break;
      continue;
    }
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, path);
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

std::optional<std::string> read_bytes_if_file(const std::string& path) {
  OpenedFile f = open_for_reading(path);
  if (f.found != Found::File) return std::nullopt;
  return read_to_end(f.fd.get(), f.size, path);
}

std::string read_bytes(const std::string& path) {
  OpenedFile f = open_for_reading(path);
  switch (f.found) {
    case Found::File:
      return read_to_end(f.fd.get(), f.size, path);
    case Found::Nothing:
      throw OsError(ENOENT, path);
    case Found::Other:
      break;
  }
  if (f.dir) throw OsError(EISDIR, path);
  throw NotRegularFile(path);
}

std::string read_text(const std::string& path, text::Errors errors) {
  return text::universal_newlines(text::decode(read_bytes(path), errors));
}

std::optional<std::string> read_text_if_file(const std::string& path, text::Errors errors) {
  std::optional<std::string> bytes = read_bytes_if_file(path);
  if (!bytes) return std::nullopt;
  return text::universal_newlines(text::decode(*bytes, errors));
}

// ---- writing ----------------------------------------------------------------------

void write_all(int fd, std::string_view data, const std::string& name) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, name);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

namespace {

constexpr char kTempChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr size_t kTempRandom = 6;
constexpr time_t kStaleSeconds = 60 * 60;

// `prefix` followed by six random letters or digits. Without getrandom (an old
// kernel, a seccomp filter) the clock, the process and the attempt still make
// names that differ from try to try.
std::string temp_name(const std::string& prefix, int attempt) {
  unsigned char rnd[kTempRandom];
  if (::getrandom(rnd, sizeof rnd, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof rnd)) {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t x = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(::getpid()) << 32) ^
                 (static_cast<uint64_t>(attempt) * 0x9E3779B97F4A7C15ULL);
    for (auto& r : rnd) {
      x ^= x >> 33;
      x *= 0xFF51AFD7ED558CCDULL;
      r = static_cast<unsigned char>(x >> 56);
    }
  }
  std::string out = prefix;
  for (unsigned char r : rnd) out += kTempChars[r % (sizeof kTempChars - 1)];
  return out;
}

bool is_temp_name(std::string_view name, std::string_view base_prefix) {
  if (name.size() != base_prefix.size() + kTempRandom || !name.starts_with(base_prefix)) return false;
  for (char c : name.substr(base_prefix.size()))
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  return true;
}

// Removes what killed writers of the same target left in `dir`: regular files
// named ".<name>.kestrune-XXXXXX", ours, untouched for an hour (a live writer's file
// changes as it writes; one that has not for an hour is no one's). Best effort:
// whatever cannot be listed or removed stays.
void remove_stale_temporaries(const std::string& dir, std::string_view base_prefix) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return;
  const time_t now = ::time(nullptr);
  const uid_t me = ::geteuid();
  while (struct dirent* e = ::readdir(d)) {
    if (!is_temp_name(e->d_name, base_prefix)) continue;
    struct stat st;
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != me || now - st.st_mtime < kStaleSeconds) continue;
    ::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
}

}  // namespace

AtomicWriter::AtomicWriter(const std::string& path, bool allow_unnamed) : path_(path) {
  // Through a symbolic link the file it names is replaced, as open(path, "w")
  // would write it, rather than the link itself.
  target_ = is_link(path) ? resolve(path) : path;
  const std::string dir = dirname(target_);
  // The marker keeps the cleanup away from a user's own ".name.backup".
  std::string base(1, '.');  // piecewise: GCC 12 warns falsely (-Wrestrict) on "." + name + "."
  base += name(target_);
  base += ".kestrune-";
  prefix_ = (dir.empty() ? std::string() : dir + "/") + base;
  remove_stale_temporaries(dir, base);

  // Mode 0666 and the umask, like any file Python would create. Linking an
  // unnamed file goes through /proc (linkat with AT_EMPTY_PATH needs a
  // capability): without /proc the temporary is named from the start.
  if (allow_unnamed && ::access("/proc/self/fd", X_OK) == 0) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = UniqueFd(fd);
      unnamed_ = true;
      return;
    }
    // Not supported here (EOPNOTSUPP, EISDIR on old kernels), or a real
    // failure that the named attempt reports with the target's name.
  }
  for (int attempt = 0; attempt < 100 && !fd_; ++attempt) {
    std::string tmp = temp_name(prefix_, attempt);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = UniqueFd(fd);
      tmp_ = std::move(tmp);
    } else if (errno != EEXIST) {
      throw OsError(errno, path_);
    }
  }
  if (!fd_) throw OsError(EEXIST, prefix_ + "XXXXXX");
}

AtomicWriter::~AtomicWriter() {
  fd_ = UniqueFd();
  if (!committed_ && !tmp_.empty()) ::unlink(tmp_.c_str());
}

void AtomicWriter::write(std::string_view data) { write_all(fd_.get(), data, path_); }

void AtomicWriter::write(std::span<const std::string_view> parts) {
  std::vector<iovec> iov;
  for (size_t i = 0; i < parts.size();) {
    iov.clear();
    size_t bytes = 0;
    for (; i < parts.size() && iov.size() < IOV_MAX; ++i) {
      iov.push_back({const_cast<char*>(parts[i].data()), parts[i].size()});
      bytes += parts[i].size();
    }
    ssize_t n = ::writev(fd_.get(), iov.data(), static_cast<int>(iov.size()));
    if (n < 0 && errno == EINTR)
      n = 0;
    else if (n < 0)
      throw OsError(errno, path_);
    if (static_cast<size_t>(n) == bytes) continue;
    // A short write: the rest of this batch goes out piece by piece.
    size_t done = static_cast<size_t>(n);
    for (const iovec& v : iov) {
      const size_t len = v.iov_len;
      if (done >= len) {
        done -= len;
        continue;
      }
      write(std::string_view(static_cast<const char*>(v.iov_base) + done, len - done));
      done = 0;
    }
  }
}

namespace {

// Swaps `tmp` with `target` when `target` is a regular file, then removes
// `tmp` (now the old file); false, with nothing changed, where that cannot be
// done (no such file, a file system without the swap).
bool replace_by_swap(const std::string& tmp, const std::string& target) {
  struct stat st;
  if (::lstat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) return false;
  // Something else took the target's place since the lstat: put it back.
  if (::lstat(tmp.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE);
    return false;
  }
  // Should this fail, the old file waits under the temporary's name for the
  // stale-temporary cleanup of a later writer.
  ::unlink(tmp.c_str());
  return true;
}

}  // namespace

void AtomicWriter::commit(Commit how) {
  if (unnamed_) {
    // A name only now, and for as short a time as a rename takes.
    const std::string proc = "/proc/self/fd/" + std::to_string(fd_.get());
    for (int attempt = 0; attempt < 100 && tmp_.empty(); ++attempt) {
      std::string tmp = temp_name(prefix_, attempt);
      if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0)
        tmp_ = std::move(tmp);
      else if (errno != EEXIST)
        throw OsError(errno, path_);
    }
    if (tmp_.empty()) throw OsError(EEXIST, prefix_ + "XXXXXX");
  }
  const int rc = ::close(fd_.release());
  if (rc != 0) throw OsError(errno, path_);
  if (how == Commit::cheap && replace_by_swap(tmp_, target_)) {
    committed_ = true;
    return;
  }
  if (::rename(tmp_.c_str(), target_.c_str()) != 0) throw OsError(errno, path_);
  committed_ = true;
}

void write_atomic(const std::string& path, std::string_view data, AtomicWriter::Commit how) {
  AtomicWriter file(path);
  file.write(data);
  file.commit(how);
}

void append(const std::string& path, std::string_view data) {
  // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of waiting.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) {
    if (errno == ENXIO) throw NotRegularFile(path);
    throw OsError(errno, path);
  }
  UniqueFd owned(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) throw OsError(errno, path);
  if (!S_ISREG(st.st_mode)) throw NotRegularFile(path);
  write_all(fd, data, path);
  if (::close(owned.release()) != 0) throw OsError(errno, path);
}

void makedirs(const std::string& path) {
  // os.makedirs(path, exist_ok=True): the missing ancestors first, an
  // ancestor that appears meanwhile is fine.
  std::vector<std::pair<std::string, std::string>> chain;  // (name, tail), innermost first
  std::string p = path;
  for (;;) {
    auto [head, tail] = split(p);
    if (tail.empty()) std::tie(head, tail) = split(head);
    chain.emplace_back(p, tail);
    if (head.empty() || tail.empty() || exists(head)) break;
    p = head;
  }
  for (size_t k = chain.size(); k-- > 0;) {
    const auto& [name, tail] = chain[k];
    if (tail == ".") continue;
    if (::mkdir(name.c_str(), 0777) == 0) continue;
    int e = errno;
    if (is_dir(name)) continue;
    if (k > 0 && e == EEXIST) continue;  // the next level reports it
    throw OsError(e, name);
  }
}

// ---- status ---------------------------------------------------------------------

bool exists(const std::string& path) {
  struct stat st;
  return stat_ok(path, st);
}
bool is_dir(const std::string& path) {
  struct stat st;
  return stat_ok(path, st) && S_ISDIR(st.st_mode);
}
bool is_file(const std::string& path) {
  struct stat st;
  return stat_ok(path, st) && S_ISREG(st.st_mode);
}
bool is_link(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
std::optional<uint64_t> file_size(const std::string& path) {
  struct stat st;
  if (!stat_ok(path, st)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}
uint64_t file_size_or_throw(const std::string& path) {
  struct stat st;
  if (!stat_ok(path, st)) throw OsError(errno, path);
  return static_cast<uint64_t>(st.st_size);
}

// ---- paths ------------------------------------------------------------------------

std::string cwd() {
  std::unique_ptr<char, decltype(&std::free)> p(::getcwd(nullptr, 0), std::free);
  if (!p) throw OsError(errno, "");
  return p.get();
}

std::string join(std::string_view a, std::string_view b) {
  if (b.starts_with("/") || a.empty()) return std::string(b);
  std::string out(a);
  if (!out.ends_with("/")) out += '/';
  out += b;
  return out;
}

std::string normpath(std::string_view p) {
  if (p.empty()) return ".";
  size_t initial = 0;
  if (p.starts_with("/")) initial = p.starts_with("//") && !p.starts_with("///") ? 2 : 1;
  std::vector<std::string_view> comps;
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string_view::npos) j = p.size();
    std::string_view c = p.substr(i, j - i);
    i = j + 1;
    if (c.empty() || c == ".") continue;
    if (c != ".." || (initial == 0 && comps.empty()) || (!comps.empty() && comps.back() == ".."))
      comps.push_back(c);
    else if (!comps.empty())
      comps.pop_back();
  }
  std::string out(initial, '/');
  for (size_t k = 0; k < comps.size(); ++k) {
    if (k) out += '/';
    out += comps[k];
  }
  return out.empty() ? "." : out;
}

std::string abspath(std::string_view p) {
  if (p.starts_with("/")) return normpath(p);
  return normpath(join(cwd(), p));
}

std::string expanduser(std::string_view p) {
  if (!p.starts_with("~")) return std::string(p);
  size_t i = p.find('/', 1);
  if (i == std::string_view::npos) i = p.size();
  std::string home;
  if (i == 1) {
    if (const char* h = std::getenv("HOME")) {
      home = h;
    } else {
      struct passwd* pw = ::getpwuid(::getuid());
      if (!pw) return std::string(p);
      home = pw->pw_dir;
    }
  } else {
    std::string user(p.substr(1, i - 1));
    struct passwd* pw = ::getpwnam(user.c_str());
    if (!pw) return std::string(p);
    home = pw->pw_dir;
  }
  std::string out(rstrip_slashes(home));
  out += p.substr(i);
  return out.empty() ? "/" : out;
}

std::string resolve(std::string_view p) {
  std::string path;
  SeenLinks seen;
  join_realpath(path, pure(p), seen);
  std::string out = abspath(path);
  // A link loop leaves the name unresolved; stat tells, as pathlib checks.
  struct stat st;
  if (::stat(out.c_str(), &st) != 0 && errno == ELOOP) throw OsError(ELOOP, out);
  return out;
}

std::string relpath(std::string_view p, std::string_view start) {
  if (p.empty()) throw std::invalid_argument("no path specified");
  auto comps = [](const std::string& abs) {
    std::vector<std::string> out;
    for (std::string_view c : pure_parts(abs).parts) out.emplace_back(c);
    return out;
  };
  std::vector<std::string> from = comps(abspath(start.empty() ? "." : start));
  std::vector<std::string> to = comps(abspath(p));
  size_t common = 0;
  while (common < from.size() && common < to.size() && from[common] == to[common]) ++common;
  std::string out;
  for (size_t k = common; k < from.size(); ++k) out += out.empty() ? ".." : "/..";
  for (size_t k = common; k < to.size(); ++k) {
    if (!out.empty()) out += '/';
    out += to[k];
  }
  return out.empty() ? "." : out;
}

std::string pure(std::string_view p) {
  PureParts pp = pure_parts(p);
  return render(pp.root, pp.parts, pp.parts.size());
}

std::string parent(std::string_view p) {
  PureParts pp = pure_parts(p);
  if (pp.parts.empty()) return render(pp.root, pp.parts, 0);
  return render(pp.root, pp.parts, pp.parts.size() - 1);
}

std::string name(std::string_view p) {
  PureParts pp = pure_parts(p);
  return pp.parts.empty() ? std::string() : std::string(pp.parts.back());
}

std::string suffix(std::string_view p) {
  std::string n = name(p);
  size_t i = n.rfind('.');
  if (i == std::string::npos || i == 0 || i + 1 == n.size()) return "";
  return n.substr(i);
}

std::string dirname(std::string_view p) {
  size_t i = p.rfind('/') + 1;
  std::string_view head = p.substr(0, i);
  std::string_view stripped = rstrip_slashes(head);
  if (!stripped.empty()) head = stripped;
  return std::string(head);
}

bool is_within(std::string_view p, std::string_view root) {
  if (p == root) return true;
  if (root == "/") return p.starts_with("/");
  return p.size() > root.size() && p.starts_with(root) && p[root.size()] == '/';
}

std::string self_exe_dir() {
  std::unique_ptr<char, decltype(&std::free)> p(::realpath("/proc/self/exe", nullptr), std::free);
  if (!p) throw OsError(errno, "/proc/self/exe");
  return dirname(p.get());
}

// ---- walking ----------------------------------------------------------------------

namespace {

// Lists `dir` into subdirectories and other entries (links followed, a
// dangling link counts as a file). False when it cannot be read to the end.
// The directory's entries, read straight from the kernel in large blocks;
// `dir` keeps it open. Subdirectories that are symbolic links go to `linked`
// too: the entry's type tells, where the file system gives it.
// `parent_fd`, when open, holds the directory: it is opened by `name` in it,
// which spares the kernel looking up every component of `path` again.
bool list_dir(const std::string& path, int parent_fd, const std::string& name, std::vector<std::string>& dirs,
              std::vector<std::string>& files, std::vector<std::string>& linked, UniqueFd& dir) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  dir = UniqueFd(parent_fd >= 0 ? ::openat(parent_fd, name.c_str(), kFlags) : ::open(path.c_str(), kFlags));
  if (!dir) return false;
  const int fd = dir.get();
  alignas(struct dirent64) char buf[32768];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (long at = 0; at < n;) {
      const auto* e = reinterpret_cast<const struct dirent64*>(buf + at);
      at += e->d_reclen;
      const char* name = e->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      bool is_directory, is_link = e->d_type == DT_LNK;
      if (e->d_type != DT_UNKNOWN && !is_link) {
        is_directory = e->d_type == DT_DIR;
      } else {
        struct stat st;
        is_directory = ::fstatat(fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        if (e->d_type == DT_UNKNOWN && is_directory) is_link = ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      }
      (is_directory ? dirs : files).emplace_back(name);
      if (is_directory && is_link) linked.emplace_back(name);
    }
  }
}

}  // namespace

void walk(const std::string& top, const std::function<void(WalkStep&)>& visit, bool followlinks) {
  // Directories on the way down stay open, up to this depth, for their
  // subdirectories to be opened by name in them.
  constexpr size_t kOpenDepth = 64;
  struct Frame {
    std::string path;
    std::vector<std::string> dirs;
    UniqueFd fd;
    size_t next = 0;
  };
  std::vector<Frame> frames;
  std::vector<std::string> chain;  // the paths of `frames`, contiguous for WalkStep::stack

  auto enter = [&](std::string path, int parent_fd, const std::string& name) {
    std::vector<std::string> dirs, files, linked;
    UniqueFd dir;
    if (!list_dir(path, parent_fd, name, dirs, files, linked, dir)) return;
    chain.push_back(path);
    WalkStep step{chain.back(), dirs, files, std::span<const std::string>(chain), dir.get(), linked};
    visit(step);
    if (frames.size() >= kOpenDepth || dirs.empty()) dir = UniqueFd();
    frames.push_back(Frame{std::move(path), std::move(dirs), std::move(dir), 0});
  };

  enter(top, -1, top);
  while (!frames.empty()) {
    Frame& f = frames.back();
    if (f.next == f.dirs.size()) {
      frames.pop_back();
      chain.pop_back();
      continue;
    }
    const std::string name = f.dirs[f.next++];  // a copy: entering may move the frames
    std::string child = join(f.path, name);
    if (!followlinks && is_link(child)) continue;
    enter(std::move(child), f.fd.get(), name);
  }
}

}  // namespace kestrune::fs
