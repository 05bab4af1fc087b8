// brc-claude: graph, retrieval, packed context, then `claude -p`.
#include <chrono>
#include <cstdio>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/br/br.h"
#include "kestrune/brc_claude/brc_claude.h"
#include "kestrune/ctxpack/ctxpack.h"
#include "kestrune/lexscan/lexscan.h"

namespace kestrune::brc_claude {
namespace {

void say(const std::string& line) {
  std::string s = text::backslashreplace(line) + "\n";
  std::fwrite(s.data(), 1, s.size(), stderr);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string count_text(const json::Value& graph, std::string_view key) {
  const json::Value* v = graph.find(key);
  return v ? json::py_str(*v) : "?";
}

}  // namespace

json::Value ensure_graph(const std::string& project_root) {
  const br::Paths& p = br::paths();
  if (fs::exists(p.graph_json)) return br::load_graph();
  say("[brc] No graph found — scanning " + project_root + " ...");
  auto t0 = std::chrono::steady_clock::now();
  json::Value graph = lexscan::scan(project_root);
  br::ensure_data_dir();
  fs::write_atomic(p.graph_json, json::dumps(graph, {.indent = 2}));
  say("[brc] Graph built in " + text::format_fixed(seconds_since(t0), 1) + "s: " +
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

int main(const std::vector<std::string>& argv) {
  Args args;
  try {
    args = parse_args(argv);
  } catch (const ParseExit& e) {
    std::fputs(e.text.c_str(), e.status == 0 ? stdout : stderr);
    return e.status;
  }

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

  json::Value graph;
  try {
    graph = ensure_graph(root);
  } catch (const std::exception& e) {
    say(std::string("[brc] Error loading graph: ") + e.what());
    return 1;
  }

  std::string context;
  try {
    auto t0 = std::chrono::steady_clock::now();
    br::RetrieveResult result = br::retrieve(graph, query, args.max_files, EDGE_LIMIT);
    ctxpack::Summaries summaries = ctxpack::load_summaries(root);
    context = ctxpack::pack({result.files, result.edges, summaries, graph, root, args.budget,
                             args.max_files, query});
    double pack_time = seconds_since(t0);
    if (args.verbose)
      say("[brc] Context packed in " + text::format_fixed(pack_time, 2) + "s (~" +
          std::to_string(ctxpack::estimate_tokens(context)) + " tokens)");
  } catch (const std::exception& e) {
    say(std::string("[brc] Error: ") + e.what());
    return 1;
  }

  if (args.dry_run) {
    context += '\n';
    std::fwrite(context.data(), 1, context.size(), stdout);
    std::fflush(stdout);
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
    say(std::string("[brc] Error: could not start claude: ") + e.what());
  }
  return 1;
}

}  // namespace kestrune::brc_claude
