#include "kestrune/edit_guard/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/edit_guard/edit_guard.h"

namespace kestrune::edit_guard {

namespace {

void append_component(std::string& path, std::string_view name) {
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
}

}  // namespace

Resolver::~Resolver() {
  for (auto& [dir, l] : listings_) close_listing(l);
}

void Resolver::close_listing(Listing& l) {
  if (l.fd >= 0) {
    ::close(l.fd);
    --open_listings_;
  }
  l.fd = Listing::DONE;
}

// The type of `name` in `dir` as the directory's entries give it, or
// DT_UNKNOWN: then it is looked up on its own. Reading a directory pays when
// many of its names are asked about and costs more than lookups when few of a
// large directory's are, so a directory is read only from its fourth name
// on, a buffer at a time, and never more of it than a few entries per name
// asked so far: the cost stays within a small multiple of the lookups it may
// spare.
unsigned char Resolver::listed_type(const std::string& dir, std::string_view name) {
  constexpr int NAMES_BEFORE_READING = 4;
  constexpr size_t ENTRIES_PER_NAME = 8;
  constexpr size_t BUFFER = 2048;
  constexpr size_t MAX_OPEN = 32;
  Listing& l = listings_[dir];
  ++l.names_asked;
  if (auto t = l.types.find(name); t != l.types.end()) return t->second;
  while (l.fd != Listing::DONE && l.names_asked >= NAMES_BEFORE_READING &&
         l.entries < ENTRIES_PER_NAME * static_cast<size_t>(l.names_asked)) {
    if (l.fd == Listing::UNOPENED) {
      l.fd = open_listings_ < MAX_OPEN ? ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
      if (l.fd < 0) {
        l.fd = Listing::DONE;
        break;
      }
      ++open_listings_;
    }
    auto buf = std::make_unique<char[]>(BUFFER);
    ssize_t n = ::getdents64(l.fd, buf.get(), BUFFER);
    if (n <= 0) {
      close_listing(l);
      break;
    }
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const dirent64*>(buf.get() + at);
      l.types.emplace(std::string_view(e->d_name), e->d_type);
      ++l.entries;
      at += e->d_reclen;
    }
    l.buffers.push_back(std::move(buf));
    if (auto t = l.types.find(name); t != l.types.end()) return t->second;
  }
  return DT_UNKNOWN;
}

// What `path` is, asked of the file system at most once. Below a barren parent
// nothing can be there, which spares a system call for every file of a
// directory that does not exist.
const Resolver::Probe& Resolver::probe(const std::string& parent, const std::string& path) {
  auto [it, fresh] = probes_.try_emplace(path);
  if (!fresh) return it->second;
  Probe& p = it->second;
  if (auto up = probes_.find(parent); up != probes_.end() && up->second.barren) {
    p.barren = true;
    return p;
  }
  // `path` is `parent` and one name. The entries answer for the names they
  // hold, byte for byte; any other (one not read yet, or one that a
  // case-insensitive file system finds all the same) is looked up.
  unsigned char type = listed_type(parent, std::string_view(path).substr(parent.size() + (parent.size() > 1)));
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      p.barren = true;
      return p;
    }
    type = S_ISLNK(st.st_mode) ? DT_LNK : S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
  }
  if (type != DT_LNK) {
    p.barren = type != DT_DIR;
    return p;
  }
  std::string target(4096, '\0');
  ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
  if (n >= 0) {
    target.resize(static_cast<size_t>(n));
    p = {true, false, std::move(target)};
  }
  return p;
}

// Follows posixpath's realpath walk: components in order, ".." taken lexically
// once the prefix is real, a link replaced by its resolved target. `seen` maps
// each link met to its resolution, or to nullopt while it is being resolved,
// which is how a loop shows itself. Returns false on a loop.
bool Resolver::join_real(std::string& path, std::string_view rest,
                         std::unordered_map<std::string, std::optional<std::string>>& seen) {
  if (!rest.empty() && rest.front() == '/') {
    rest.remove_prefix(1);
    path.assign(1, '/');
  }
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view name = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      size_t cut = path.rfind('/');
      path.resize(cut == 0 ? 1 : cut);
      continue;
    }
    std::string next = path;
    append_component(next, name);
    const Probe& p = probe(path, next);
    if (!p.is_link) {
      path = std::move(next);
      continue;
    }
    if (auto s = seen.find(next); s != seen.end()) {
      if (!s->second) return false;
      path = *s->second;
      continue;
    }
    seen[next] = std::nullopt;
    std::string target = p.target;  // probes_ may rehash while resolving it
    if (!join_real(path, target, seen)) return false;
    seen[next] = path;
  }
  return true;
}

std::optional<std::string> Resolver::resolve(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  if (!path.empty() && path.front() == '/') return resolve_absolute(path);
  if (!cwd_) return std::nullopt;
  return resolve_absolute(fs::join(*cwd_, path));
}

// Components are taken in order, so a path resolves as its directory's
// resolution joined with its last name: the directory is resolved once for
// all its names. (A loop in the directory is a loop in the path.)
std::optional<std::string> Resolver::resolve_absolute(std::string_view full) {
  std::unordered_map<std::string, std::optional<std::string>> seen;
  size_t slash = full.rfind('/');
  std::string_view name = full.substr(slash + 1);
  if (slash == 0 || name.empty() || name == "." || name == "..") {
    std::string out = "/";
    if (!join_real(out, full, seen)) return std::nullopt;
    return out;
  }
  auto [it, fresh] = dirs_.try_emplace(std::string(full.substr(0, slash)));
  std::optional<std::string>& dir = it->second;  // stays put while the map grows
  if (fresh) {
    std::string out = "/";
    if (join_real(out, it->first, seen)) dir = std::move(out);
    seen.clear();
  }
  if (!dir) return std::nullopt;
  std::string out = *dir;
  if (!join_real(out, name, seen)) return std::nullopt;
  return out;
}

std::optional<std::string> Resolver::normalize(std::string_view raw) {
  if (!raw.empty() && raw.front() == '~') {
    std::string home = fs::expanduser(fs::pure(raw));
    if (text::starts_with(home, "~")) return std::nullopt;
    return resolve(home);
  }
  return resolve(raw);
}

std::optional<std::string> search_data_dir(const std::vector<std::string>& roots) {
  for (const std::string& root : roots) {
    if (root.find('\0') != std::string::npos) continue;
    std::string cand = root;
    while (true) {
      std::string dir = fs::join(cand, DATA_DIR_NAME);
      if (fs::is_file(fs::join(dir, ATTENTION_FILE))) return dir;
      std::string up = fs::parent(cand);
      if (up == cand) break;
      cand = std::move(up);
    }
  }
  return std::nullopt;
}

}  // namespace kestrune::edit_guard
