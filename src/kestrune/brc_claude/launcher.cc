// brc-claude: graph, retrieval, packed context, then `claude -p`.
#include <chrono>
#include <optional>
#include <stdexcept>

#include "kestrune/base/command.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/br/br.h"
#include "kestrune/brc_claude/brc_claude.h"
#include "kestrune/ctxpack/ctxpack.h"

namespace kestrune::brc_claude {
namespace {

void say(const std::string& line) { command::err(line + "\n"); }

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string count_text(const json::Value& graph, std::string_view key) {
  const json::Value* v = graph.find(key);
  return v ? json::py_str(*v) : "?";
}

}  // namespace

json::Value ensure_graph(const std::string& project_root) {
  std::optional<std::chrono::steady_clock::time_point> t0;
  json::Value graph = br::load_graph(project_root, [&] {
    say("[brc] No graph found — scanning " + project_root + " ...");
    t0 = std::chrono::steady_clock::now();
  });
  if (t0)
    say("[brc] Graph built in " + text::format_fixed(seconds_since(*t0), 1) + "s: " +
        count_text(graph, "node_count") + " nodes, " + count_text(graph, "edge_count") + " edges");
  return graph;
}

std::string build_prompt(std::string_view context, std::string_view query) {
  std::string out(context);
  out += QUESTION_SEPARATOR;
  out += query;
  out += INSTRUCTIONS;
  return out;
}

std::vector<std::string> claude_argv(const Args& args, const std::string& prompt) {
  std::vector<std::string> out = {"claude", "-p", prompt, "--model", args.model};
  if (args.json) out.insert(out.end(), {"--output-format", "json"});
  if (args.no_permissions) out.push_back("--dangerously-skip-permissions");
  if (args.no_session) out.push_back("--no-session-persistence");
  return out;
}

namespace {

// Everything after the options: the question, the graph, the context, claude.
int launch(const Args& args) {
  const std::string query(text::strip(text::join(args.query, " ")));
  if (query.empty()) {
    say("Usage: brc-claude [OPTIONS] \"your question here\"");
    say("Run brc-claude --help for full options.");
    return 1;
  }
  const std::string root = fs::resolve(args.project_root);
  if (!fs::is_dir(root)) {
    say("[brc] Error: project root does not exist: " + root);
    return 1;
  }

  br::Ranker ranker;
  try {
    ranker = args.ranker.empty() ? br::default_ranker() : *br::ranker_from_name(args.ranker);
  } catch (const br::SettingError& e) {
    say(std::string("[brc] Error: ") + e.what());
    return 2;
  }

  json::Value graph;
  try {
    graph = ensure_graph(root);
  } catch (const std::exception& e) {
    say(std::string("[brc] Error loading graph: ") + e.what());
    return 1;
  }

  auto t0 = std::chrono::steady_clock::now();
  // The relevance ranker answers from the graph file, with the index kept beside it.
  br::RetrieveResult result = ranker == br::Ranker::Relevance && fs::exists(br::paths().graph_json)
                                  ? br::retrieve_from_graph_file(query, args.max_files, EDGE_LIMIT, ranker)
                                  : br::retrieve(graph, query, args.max_files, EDGE_LIMIT);
  ctxpack::Summaries summaries = ctxpack::load_summaries(root);
  const std::string context =
      ctxpack::pack({result.files, result.edges, summaries, graph, root, args.budget, args.max_files, query});
  double pack_time = seconds_since(t0);
  if (args.verbose)
    say("[brc] Context packed in " + text::format_fixed(pack_time, 2) + "s (~" +
        std::to_string(ctxpack::estimate_tokens(context)) + " tokens)");

  if (args.dry_run) {
    command::out(context + "\n");
    return 0;
  }

  if (!which("claude")) {
    print_claude_missing();
    return 1;
  }
  std::vector<std::string> claude = claude_argv(args, build_prompt(context, query));
  if (args.verbose) say("[brc] Launching: claude -p ... --model " + args.model);
  try {
    exec_program("claude", claude, child_environment());
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("could not start claude: ") + e.what());
  }
}

}  // namespace

int command_main(int argc, char** argv) {
  return command::run("[brc] Error: ", [&] { return launch(parse_args({argv + 1, argv + argc})); });
}

}  // namespace kestrune::brc_claude
