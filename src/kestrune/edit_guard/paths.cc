#include "kestrune/edit_guard/paths.h"

#include <sys/stat.h>
#include <unistd.h>

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
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    p.barren = true;
    return p;
  }
  if (!S_ISLNK(st.st_mode)) {
    p.barren = !S_ISDIR(st.st_mode);
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
