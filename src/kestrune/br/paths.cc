#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "kestrune/base/fs.h"
#include "kestrune/br/br.h"
#include "kestrune/br/capability.h"
#include "kestrune/br/relevance.h"
#include "kestrune/br/retrieve.h"
#include "kestrune/lexscan/lexscan.h"

namespace kestrune::br {
namespace {

std::string& base_dir_override() {
  static std::string dir;
  return dir;
}

Paths compute_paths() {
  Paths p;
  p.base_dir = base_dir_override().empty() ? fs::parent(fs::self_exe_dir())
                                           : fs::resolve(base_dir_override());
  // One project's data apart from another's: the assistant's hook points
  // this at the project's .braid (created on first write, ensure_data_dir()).
  if (const char* data = std::getenv("KESTRUNE_DATA_DIR"); data != nullptr && *data != '\0')
    p.data_dir = fs::resolve(data);
  else
    p.data_dir = usable_data_dir(fs::join(p.base_dir, "data"));
  p.graph_json = fs::join(p.data_dir, "info_graph.json");
  p.action_log = fs::join(p.data_dir, "action_events.jsonl");
  p.token_log = fs::join(p.data_dir, "token_usage.jsonl");
  const char* cap = std::getenv("BR_CAPABILITY_INDEX");
  p.capability_index =
      fs::resolve(cap ? std::string(cap) : fs::join(p.data_dir, "functionality_index.md"));
  const char* root = std::getenv("BRAID_PROJECT_ROOT");
  p.default_root = fs::resolve(root ? std::string(root) : fs::cwd());
  return p;
}

}  // namespace

std::string usable_data_dir(const std::string& package_data) {
  // The nearest part of the path that is there decides: a directory we may
  // write into (the data directory itself, or where it would be created).
  std::string there = package_data;
  struct stat st;
  while (::lstat(there.c_str(), &st) != 0 && errno == ENOENT && fs::parent(there) != there)
    there = fs::parent(there);
  if (fs::is_dir(there) && ::faccessat(AT_FDCWD, there.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
    return package_data;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  // Unset, empty and relative values are ignored, as the XDG base directory rules have it.
  const std::string home_data = xdg && *xdg == '/' ? std::string(xdg) : fs::expanduser("~/.local/share");
  return fs::join(home_data, "kestrune/data");
}

void set_base_dir(const std::string& dir) { base_dir_override() = dir; }

const Paths& paths() {
  static const Paths p = compute_paths();
  return p;
}

void ensure_data_dir() { fs::makedirs(paths().data_dir); }

json::Value load_graph(const std::string& root, const std::function<void()>& scanning) {
  const Paths& p = paths();
  if (fs::exists(p.graph_json)) {
    json::Value graph = json::load_file(p.graph_json);
    if (!graph.is_object()) throw TypeError("graph must be a dict");
    return graph;
  }
  if (scanning) scanning();
  lexscan::Graph graph = lexscan::scan_graph(root);
  ensure_data_dir();
  lexscan::write_graph(graph, p.graph_json);
  return std::move(graph).to_json();
}

json::Value load_graph() { return load_graph(paths().default_root); }

RetrieveResult retrieve_from_graph_file(std::string_view query, long long top_files,
                                        long long top_edges) {
  const Paths& p = paths();
  if (!fs::exists(p.graph_json)) return retrieve(load_graph(), query, top_files, top_edges);
  return retrieve_file(p.graph_json, query, top_files, top_edges,
                       load_capability_index(p.capability_index));
}

RetrieveResult retrieve_from_graph_file(std::string_view query, long long top_files, long long top_edges,
                                        Ranker ranker) {
  if (ranker == Ranker::Heuristic) return retrieve_from_graph_file(query, top_files, top_edges);
  const Paths& p = paths();
  if (!fs::exists(p.graph_json)) return retrieve(load_graph(), query, top_files, top_edges, ranker);
  return retrieve_file_relevance(p.graph_json, query, top_files, top_edges,
                                 load_capability_index(p.capability_index));
}

}  // namespace kestrune::br
