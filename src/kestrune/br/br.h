// Retrieval over the information graph: where br keeps its files, loading the
// graph, and choosing the files and relations most relevant to a question.
//
// This is the face other modules use; the pieces behind it live in query.h,
// score.h, capability.h, retrieve.h and commands.h.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kestrune/base/command.h"
#include "kestrune/base/json.h"

namespace kestrune::br {

// The module's fixed locations. All files of br live in data_dir, which sits
// beside the installed module unless KESTRUNE_DATA_DIR names another (one per
// project) or that cannot be written (usable_data_dir); capability_index and
// default_root also follow the environment
// (BR_CAPABILITY_INDEX, BRAID_PROJECT_ROOT).
struct Paths {
  std::string base_dir, data_dir, graph_json, action_log, token_log, capability_index, default_root;
};

// data_dir is the package's "data" directory when it can be created or
// written; otherwise (an install owned by another user) it is
// $XDG_DATA_HOME/kestrune/data, by default ~/.local/share/kestrune/data.
std::string usable_data_dir(const std::string& package_data);

// Computed once per process. For the native command base_dir is the package
// directory above its bin/; the Python module sets it from its own file's
// directory via set_base_dir() at import.
const Paths& paths();
// Must run before the first paths() call; later calls are ignored.
void set_base_dir(const std::string& dir);

// Creates data_dir with any missing parents.
void ensure_data_dir();

// The one loader of br's graph, for br and the launcher. The graph record:
// read from paths().graph_json when that name exists (never rescanned, whatever
// project it was built for); otherwise a scan of `root`, written to graph_json
// (data_dir created) and then returned. `scanning`, when given, is called just
// before a scan starts.
// Throws: fs::OsError when graph_json cannot be read (fs::NotRegularFile when it
// is a FIFO or device: never waited on) or written, json::ParseError when it is
// not JSON, TypeError when its top level is not an object; a failed scan leaves
// graph_json as it was.
json::Value load_graph(const std::string& root, const std::function<void()>& scanning = {});
// load_graph(paths().default_root).
json::Value load_graph();

struct RetrieveResult {
  json::Array files;
  json::Array edges;
};

// The top files (one entry per file, "content" dropped, "_score", "_role",
// "_intent" added) and top edges of `graph` for `query`.
RetrieveResult retrieve(const json::Value& graph, std::string_view query, long long top_files,
                        long long top_edges);

// retrieve(load_graph(), ...) without building the whole graph in memory when
// the graph file exists; results are identical.
RetrieveResult retrieve_from_graph_file(std::string_view query, long long top_files,
                                        long long top_edges);

// How files are chosen: the heuristic scoring above, or the relevance ranker
// (relevance.h), which weighs words by their rarity and follows imports.
enum class Ranker { Heuristic, Relevance };
// "heuristic" or "relevance"; nullopt for anything else.
std::optional<Ranker> ranker_from_name(std::string_view name);
std::string_view ranker_name(Ranker ranker);
// A setting from the environment that cannot be used, with a one-line message.
struct SettingError : command::UsageError {
  using command::UsageError::UsageError;
};
// KESTRUNE_RANKER when set, else the heuristic ranker; an unknown value throws SettingError.
Ranker default_ranker();

RetrieveResult retrieve(const json::Value& graph, std::string_view query, long long top_files,
                        long long top_edges, Ranker ranker);
// The relevance ranker keeps its index beside the graph file.
RetrieveResult retrieve_from_graph_file(std::string_view query, long long top_files,
                                        long long top_edges, Ranker ranker);

}  // namespace kestrune::br
