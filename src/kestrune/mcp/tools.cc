// The four tools over one project.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "kestrune/attention/attention.h"
#include "kestrune/audit/checks.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/br/br.h"
#include "kestrune/br/capability.h"
#include "kestrune/br/commands.h"
#include "kestrune/br/relevance.h"
#include "kestrune/br/retrieve.h"
#include "kestrune/ctxpack/ctxpack.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/mcp/mcp.h"

namespace kestrune::mcp {

namespace {

std::string getenv_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

int64_t now_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

// Where the recorder and the guard keep the attention record of this project.
attention::Place attention_place(const std::string& root) {
  return attention::place_for(root, getenv_or_empty("BR_DATA_DIR"));
}

std::string with_note(const std::string& note, std::string text) { return note.empty() ? text : note + "\n\n" + text; }

}  // namespace

Project::Project(std::string root)
    : root_(std::move(root)),
      data_dir_(fs::join(root_, attention::DATA_DIR_NAME)),
      graph_path_(fs::join(data_dir_, "info_graph.json")) {}

const json::Value& Project::graph(std::string& note) {
  const std::optional<FileSignature> now = stat_signature(graph_path_);
  if (now && signature_ && now->size == signature_->size && now->mtime_ns == signature_->mtime_ns) return graph_;
  signature_.reset();
  graph_ = json::Value();
  if (!now) {
    if (fs::exists(graph_path_)) throw ToolError(graph_path_ + " is not a regular file");
    if (!fs::is_dir(root_))
      throw ToolError("No graph at " + graph_path_ + ", and no project to build one from: " + root_ +
                      " is not a directory");
    fs::makedirs(data_dir_);
    lexscan::Graph g = lexscan::scan_graph(root_);
    lexscan::write_graph_files(g, graph_path_);
    const size_t symbols = g.symbol_count();
    note = "No graph was found, so this call built " + graph_path_ + " with the regex scanner (" +
           std::to_string(g.nodes.size() - symbols) + " files, " + std::to_string(symbols) + " symbols, " +
           std::to_string(g.edges.size()) + " edges).";
    graph_ = std::move(g).to_json();
    signature_ = stat_signature(graph_path_);
    return graph_;
  }
  json::Value loaded;
  try {
    loaded = json::load_file(graph_path_);
  } catch (const std::exception& e) {
    throw ToolError("Cannot read the graph " + graph_path_ + ": " + e.what());
  }
  if (!loaded.is_object()) throw ToolError("The graph " + graph_path_ + " is not a JSON object");
  graph_ = std::move(loaded);
  signature_ = now;
  return graph_;
}

std::string Project::graph_continue(std::string_view query, long long max_files, long long budget) {
  if (text::strip(query).empty()) throw ToolError("The query is empty: say what the task is");
  std::string note;
  const json::Value& g = graph(note);
  const br::Ranker ranker = br::default_ranker();
  const auto caps = br::load_capability_index(br::paths_in(data_dir_).capability_index);
  // The relevance ranker answers from the file, with its index kept beside it.
  const br::RetrieveResult result = ranker == br::Ranker::Relevance
                                        ? br::retrieve_file_relevance(graph_path_, query, max_files, EDGE_LIMIT, caps)
                                        : br::materialise(g, br::select(g, query, max_files, EDGE_LIMIT, caps));
  const ctxpack::Summaries summaries = ctxpack::load_summaries(root_);
  std::vector<std::string> shown;
  std::string context =
      ctxpack::pack({result.files, result.edges, summaries, g, root_, budget, max_files, query, &shown});
  if (context.empty()) context = "Nothing fits in a budget of " + std::to_string(budget) + " tokens.";

  // What the assistant has now seen, for the edit guard: a file this server
  // returned before is a cache hit.
  const attention::Place place = attention_place(root_);
  std::vector<attention::NewAction> reads;
  for (const std::string& id : shown) {
    std::string file = attention::stored_path(id, root_, place.root);
    const bool again = !returned_.insert(file).second;
    reads.push_back(
        {std::string(again ? attention::READ_CACHE_HIT : attention::READ), std::move(file), "graph_continue", ""});
  }
  if (!reads.empty()) {
    try {
      attention::record(place.file, reads, now_seconds());
    } catch (const std::exception& e) {
      // The context is still worth having; the guard just knows less.
      context += "\n\n(These reads could not be recorded for the edit guard: " + std::string(e.what()) + ")";
    }
  }
  return with_note(note, std::move(context));
}

std::string Project::graph_register_edit(std::string_view file_arg, std::string_view summary) {
  const std::string_view given = text::strip(file_arg);
  if (given.empty()) throw ToolError("The file is empty: name the file you changed");
  if (given.find('\0') != std::string_view::npos) throw ToolError("The file name holds a NUL character");
  const attention::Place place = attention_place(root_);
  const std::string file = attention::stored_path(given, root_, place.root);
  const int64_t now = now_seconds();
  const attention::NewAction edit{std::string(attention::REGISTER_EDIT), file, "graph_register_edit", ""};
  attention::record(place.file, {&edit, 1}, now);

  json::Object meta;
  meta.append("file", file);
  fs::makedirs(data_dir_);
  br::append_action_event(br::paths_in(data_dir_).action_log, "edit", summary, std::move(meta));

  attention::Record mine{file};
  for (attention::Record& r : attention::load_records(place.file, now))
    if (r.file == file) mine = std::move(r);
  return "Registered the edit of " + file + ": attention score " + text::format_fixed(mine.score, 1) + " (" +
         std::to_string(mine.reads) + (mine.reads == 1 ? " read, " : " reads, ") + std::to_string(mine.edits) +
         (mine.edits == 1 ? " edit" : " edits") + "), " +
         (mine.score >= attention::THRESHOLD ? "at or above" : "below") + " the edit guard's threshold (" +
         text::format_fixed(attention::THRESHOLD, 1) + ").";
}

std::string Project::graph_dead_exports() {
  std::string note;
  const json::Value dead = audit::check_dead_exports(graph(note), SIZE_MAX);
  std::string out = "Dead exports: " + std::to_string(dead.as_array().size());
  for (const json::Value& d : dead.as_array()) {
    out += '\n';
    out += json::py_str(d["file"]) + ":" + json::py_str(d["line"]) + "  " + json::py_str(d["symbol"]) + "  (" +
           json::py_str(d["type"]) + ")";
  }
  return with_note(note, std::move(out));
}

std::string Project::graph_attention() {
  const attention::Place place = attention_place(root_);
  if (!fs::exists(place.file)) return "No attention recorded yet: " + place.file + " does not exist.";
  const int64_t now = now_seconds();
  std::string out = attention::describe(attention::load_records(place.file, now), now);
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace kestrune::mcp
