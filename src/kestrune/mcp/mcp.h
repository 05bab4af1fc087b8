// kestrune-mcp: the project's graph as tools the assistant calls while it
// works, served over the Model Context Protocol on standard input and output.
//
//   graph_continue(query, max_files, budget)  retrieval, packed as Markdown
//   graph_register_edit(file, summary)        an edit the assistant declares
//   graph_dead_exports()                      the audit's check, uncapped
//   graph_attention()                         what the edit guard protects
//
// Project holds the tools over one project (its graph loaded once and kept
// while the file stays the same); Server reads JSON-RPC 2.0 messages, one
// per line, and answers them; serve() is the loop between the two streams.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>

#include "kestrune/base/file_signature.h"
#include "kestrune/base/json.h"

namespace kestrune::mcp {

// The protocol revisions this server speaks, oldest first: a client's own is
// answered in kind, any other with the newest.
inline constexpr std::array<std::string_view, 4> PROTOCOL_VERSIONS = {"2024-11-05", "2025-03-26", "2025-06-18",
                                                                      "2025-11-25"};
inline constexpr std::string_view SERVER_NAME = "kestrune";

// Relations retrieval hands to the packer, as the launcher asks for.
inline constexpr long long EDGE_LIMIT = 40;

// A tool that cannot do what was asked; what() is the one line the assistant reads.
struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The tools over the project at `root` (absolute). The graph is
// root/.braid/info_graph.json, the one the audit reads, built with the regex
// scanner when missing; the action log and the capability index are br's
// files in that directory (br with KESTRUNE_DATA_DIR pointing there); the
// attention record is where the recorder and the guard find it (BR_DATA_DIR,
// else root/.braid). KESTRUNE_RANKER, BR_DATA_DIR and BR_CAPABILITY_INDEX are
// read at each call. Each tool returns its text or throws (ToolError, or the
// failure of what it called).
class Project {
 public:
  explicit Project(std::string root);

  const std::string& root() const { return root_; }
  const std::string& graph_path() const { return graph_path_; }

  std::string graph_continue(std::string_view query, long long max_files = 8, long long budget = 5000);
  std::string graph_register_edit(std::string_view file, std::string_view summary = {});
  std::string graph_dead_exports();
  std::string graph_attention();

 private:
  // The graph as the file holds it now: kept while its size and time stay
  // the same, read again when they change, built when there is no file (then
  // `note` says so).
  const json::Value& graph(std::string& note);

  std::string root_, data_dir_, graph_path_;
  json::Value graph_;
  std::optional<FileSignature> signature_;    // of the file graph_ was read from
  std::unordered_set<std::string> returned_;  // files graph_continue returned, as the attention record names them
};

// tools/list's "tools": each tool's name, description and the JSON Schema of its arguments.
json::Array tool_list();

// JSON-RPC 2.0 for one project: initialize, notifications/initialized, ping,
// tools/list and tools/call.
class Server {
 public:
  explicit Server(Project& project) : project_(project) {}

  // The answer to one line (without a line feed), or nullopt when none is
  // due: a notification, a client's response, a blank line. Never throws.
  std::optional<std::string> handle(std::string_view line);

 private:
  std::optional<json::Value> answer(const json::Value& message);
  json::Value call_tool(const json::Value& params, const json::Value& id);

  Project& project_;
};

// Reads `in_fd` line by line until its end, passing each answer, with its
// line feed, to `write` (which may throw to stop: the client went away).
void serve(int in_fd, Server& server, const std::function<void(std::string_view)>& write);

// The command: kestrune-mcp [--root ROOT].
int command_main(int argc, char** argv);

// The project root the command serves when no --root is given:
// CLAUDE_PROJECT_DIR when set and not empty, else the working directory; resolved.
std::string default_root();

}  // namespace kestrune::mcp
