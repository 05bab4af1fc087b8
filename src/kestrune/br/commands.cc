#include "kestrune/br/commands.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <unordered_map>

#include "kestrune/base/args.h"
#include "kestrune/base/command.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/br/br.h"
#include "kestrune/base/pyint.h"
#include "kestrune/br/retrieve.h"
#include "kestrune/lexscan/lexscan.h"
#include "kestrune/lexscan/scan.h"

namespace kestrune::br {
namespace {

// ---- output ---------------------------------------------------------------

void print(std::string_view s) { command::out(s); }

// ---- argument parsing -----------------------------------------------------

constexpr const char* kRefreshHelp = "Rescan the project into the graph first (reading only what changed)";
constexpr const char* kRankerHelp =
    "How files are chosen: heuristic or relevance (default: $KESTRUNE_RANKER, else heuristic)";

args::Parser build_parser() {
  const Paths& p = paths();
  args::Parser br("br", "Braid starter CLI");
  br.command("cmd", "scan", "Scan project and build info graph")
      .text({"--root"}, p.default_root, "Project root to scan")
      .text({"--out"}, p.graph_json, "Output graph JSON");
  br.command("cmd", "retrieve", "Retrieve relevant files/edges for a query")
      .required_text({"--query"}, "Natural language task/query")
      .integer({"--top-files"}, 20)
      .integer({"--top-edges"}, 40)
      .flag({"--json"})
      .text({"--ranker"}, std::nullopt, kRankerHelp)
      .flag({"--refresh"}, kRefreshHelp);
  br.command("cmd", "prime", "Output compact context for Claude hooks")
      .text({"--query"}, "", "Current query/task")
      .integer({"--top-files"}, 12)
      .integer({"--top-edges"}, 20)
      .integer({"--recent-actions"}, 8)
      .flag({"--hook"}, "Take the query from the assistant's UserPromptSubmit hook input on standard input")
      .text({"--ranker"}, std::nullopt, kRankerHelp)
      .flag({"--refresh"}, kRefreshHelp);
  br.command("cmd", "action", "Action graph operations")
      .command("action_cmd", "log", "Append action event")
      .required_text({"--kind"}, "Action kind")
      .text({"--summary"}, "", "Short action summary")
      .text({"--meta"}, "", "JSON object metadata");
  br.command("cmd", "stats", "Token usage stats").flag({"--json"});
  return br;
}

// ---- logs -----------------------------------------------------------------

json::Array read_jsonl(const std::string& path) {
  json::Array events;
  if (!fs::exists(path)) return events;
  std::string content = fs::read_text(path, text::Errors::Strict);
  for (auto raw : text::splitlines(content)) {
    std::string_view line = text::strip(raw);
    if (line.empty()) continue;
    try {
      events.push_back(json::parse(line));
    } catch (const json::ParseError&) {
    }
  }
  return events;
}

// events[-limit:]: the last `limit`, all of them for 0, a negative limit drops from the front.
json::Array last(json::Array events, long long limit) {
  const size_t n = events.size();
  size_t start = 0;
  if (limit > 0) {
    start = static_cast<unsigned long long>(limit) >= n ? 0 : n - static_cast<size_t>(limit);
  } else if (limit < 0) {
    unsigned long long drop = 0ULL - static_cast<unsigned long long>(limit);
    start = drop >= n ? n : static_cast<size_t>(drop);
  }
  return json::Array(std::make_move_iterator(events.begin() + static_cast<long>(start)),
                     std::make_move_iterator(events.end()));
}

std::string utc_timestamp() {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  struct tm tm;
  ::gmtime_r(&tv.tv_sec, &tm);
  char buf[64];
  size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string out(buf, n);
  if (tv.tv_usec != 0) {
    std::snprintf(buf, sizeof buf, ".%06ld", static_cast<long>(tv.tv_usec));
    out += buf;
  }
  return out + "+00:00";
}

std::string str_of(const json::Value* v, std::string_view fallback) {
  return v ? json::py_str(*v) : std::string(fallback);
}

std::string edge_line(const json::Value& e) {
  return "- " + str_of(e.find("from"), "None") + " --" + str_of(e.find("rel"), "None") + "--> " +
         str_of(e.find("to"), "None") + "\n";
}

}  // namespace

std::optional<Args> parse_args(const std::vector<std::string>& argv) {
  args::Result parsed;
  try {
    parsed = build_parser().parse({argv.begin() + (argv.empty() ? 0 : 1), argv.end()});
  } catch (const args::Exit& e) {
    if (e.status != 0) throw;
    print(e.text);
    return std::nullopt;
  }
  Args out;
  if (auto ranker = parsed.has("ranker") ? parsed.optional_text("ranker") : std::nullopt;
      ranker && !ranker_from_name(*ranker)) {
    const std::string cmd = parsed.text("cmd");
    const std::string message = "argument --ranker: invalid choice: " + json::py_repr(json::Value(*ranker)) +
                                " (choose from 'heuristic', 'relevance')";
    throw UsageError{2, "usage: br " + cmd + " [-h] ...\nbr " + cmd + ": error: " + message + "\n", message};
  }
  for (const auto& [dest, value] : parsed.values()) {
    if (const auto* s = std::get_if<std::string>(&value))
      (dest == "cmd" ? out.cmd : dest == "action_cmd" ? out.action_cmd : out.text[dest]) = *s;
    else if (const auto* n = std::get_if<long long>(&value))
      out.num[dest] = *n;
    else if (const auto* b = std::get_if<bool>(&value))
      out.flag[dest] = *b;
  }
  return out;
}

void append_action_event(const std::string& action_log, std::string_view kind, std::string_view summary,
                         json::Object meta) {
  json::Object event;
  event.append("timestamp", utc_timestamp());
  event.append("kind", kind);
  event.append("summary", summary);
  event.append("meta", std::move(meta));
  // One write of the whole line: writers running at once never interleave.
  fs::append(action_log, json::dumps(json::Value(std::move(event))) + "\n");
}

json::Array read_action_events(long long limit) { return last(read_jsonl(paths().action_log), limit); }

int cmd_scan(const Args& args) {
  const std::string root = fs::resolve(args.text.at("root"));
  lexscan::require_project_root(root);  // before the data directory is made
  ensure_data_dir();
  const std::string& out_arg = args.text.at("out");
  const std::string out = out_arg.empty() ? paths().graph_json : fs::resolve(out_arg);
  // Every file read afresh; the scan cache it leaves serves later --refresh runs.
  const lexscan::RescanResult r =
      lexscan::rescan(lexscan::regex_scanner(), root, out, {.reuse = false, .symbol_index = false});
  print("Scanned: " + std::to_string(r.nodes) + " nodes, " + std::to_string(r.edges) + " edges\nWrote: " + out + "\n");
  return 0;
}

namespace {

// What the hook says of a failure: one line on stderr, never a status that
// would hold up the user's turn.
void say_in_hook(const std::exception& e) {
  std::string line = "br: error: ";
  for (const char* p = e.what(); *p; ++p) line += *p == '\n' ? ' ' : *p;
  command::err(line + "\n");
}

// --refresh: the graph brought up to date with the project first. In the
// hook, a refresh that fails is said and the graph there still answers.
void refresh_if_asked(const Args& args, bool hook = false) {
  if (auto it = args.flag.find("refresh"); it == args.flag.end() || !it->second) return;
  try {
    lexscan::require_project_root(paths().default_root);
    ensure_data_dir();
    lexscan::rescan(lexscan::regex_scanner(), paths().default_root, paths().graph_json, {.symbol_index = false});
  } catch (const std::exception& e) {
    if (!hook) throw;
    say_in_hook(e);
  }
}

}  // namespace

// --ranker when given, else the default KESTRUNE_RANKER sets.
Ranker chosen_ranker(const Args& args) {
  auto it = args.text.find("ranker");
  if (it != args.text.end())
    if (auto r = ranker_from_name(it->second)) return *r;
  return default_ranker();
}

int cmd_retrieve(const Args& args) {
  refresh_if_asked(args);
  const std::string& query = args.text.at("query");
  RetrieveResult r = retrieve_from_graph_file(query, args.num.at("top_files"), args.num.at("top_edges"),
                                              chosen_ranker(args));
  if (args.flag.at("json")) {
    json::Object o;
    o.append("query", query);
    o.append("files", std::move(r.files));
    o.append("edges", std::move(r.edges));
    std::string out = json::dumps(json::Value(std::move(o)), {.indent = 2});
    print(out + "\n");
    return 0;
  }
  std::string out = "Query: " + query + "\n\nRelevant files:\n";
  for (const auto& f : r.files) out += "- " + str_of(f.find("id"), "None") + "\n";
  out += "\nRelevant relations:\n";
  for (const auto& e : r.edges) out += edge_line(e);
  print(out);
  return 0;
}

std::optional<std::string> hook_prompt(std::string_view input) {
  if (!text::is_valid_utf8(input)) return std::nullopt;
  try {
    const json::Value hook = json::parse(input);
    const json::Value* prompt = hook.find("prompt");
    if (prompt != nullptr && prompt->is_string() && !prompt->as_string().empty()) return prompt->as_string();
  } catch (const json::ParseError&) {
  }
  return std::nullopt;
}

namespace {

int prime(const Args& args, const std::optional<std::string>& prompt, bool hook) {
  refresh_if_asked(args, hook);
  std::string query = args.text.at("query");
  if (query.empty() && prompt) query = *prompt;
  if (query.empty()) {
    const char* env = std::getenv("BR_QUERY");
    query = env ? env : "General codebase maintenance task";
  }
  RetrieveResult r = retrieve_from_graph_file(query, args.num.at("top_files"), args.num.at("top_edges"),
                                              chosen_ranker(args));
  json::Array actions = read_action_events(args.num.at("recent_actions"));
  std::string out =
      "# Braid Active\n\n## Rules\n"
      "- Prefer focused context over full transcript dumps.\n"
      "- Use graph-backed files/edges for impact analysis.\n"
      "- Preserve existing behavior unless request says otherwise.\n\n"
      "## Current Focus\n- Query: " + query + "\n\n";
  out += "## Relevant Files (Top " + std::to_string(r.files.size()) + ")\n";
  for (const auto& f : r.files) out += "- " + str_of(f.find("id"), "None") + "\n";
  out += "\n## Relevant Relations (Top " + std::to_string(r.edges.size()) + ")\n";
  for (const auto& e : r.edges) out += edge_line(e);
  out += "\n## Action Trail (Recent " + std::to_string(actions.size()) + ")\n";
  if (actions.empty()) out += "- (no actions recorded yet)\n";
  for (const auto& a : actions)
    out += "- [" + str_of(a.find("kind"), "unknown") + "] " + str_of(a.find("summary"), "") + "\n";
  print(out);
  return 0;
}

}  // namespace

int cmd_prime(const Args& args) {
  auto hook = args.flag.find("hook");
  if (hook == args.flag.end() || !hook->second) return prime(args, std::nullopt, false);
  // The assistant's UserPromptSubmit hook: whatever arrives and whatever
  // fails, the user's turn goes on (a non-zero status would hold it up).
  const std::optional<std::string> prompt = hook_prompt(command::read_all(STDIN_FILENO));
  try {
    return prime(args, prompt, true);
  } catch (const std::exception& e) {
    say_in_hook(e);
    return 0;
  }
}

int cmd_action_log(const Args& args) {
  ensure_data_dir();
  json::Value meta = json::Object{};
  const std::string& meta_arg = args.text.at("meta");
  if (!meta_arg.empty()) {
    std::string reason;
    try {
      meta = json::parse(meta_arg);
      if (!meta.is_object()) reason = "meta must be a JSON object";
    } catch (const json::ParseError& e) {
      reason = e.what();
    }
    if (!reason.empty()) {
      command::err("error: invalid --meta JSON: " + reason + "\n");
      return 2;
    }
  }
  append_action_event(paths().action_log, args.text.at("kind"), args.text.at("summary"), std::move(meta.as_object()));
  print("ok\n");
  return 0;
}

int cmd_stats(const Args& args) {
  json::Array events = read_jsonl(paths().token_log);
  pyint::BigInt total;
  std::vector<std::pair<std::string, pyint::BigInt>> by_mode;
  std::unordered_map<std::string, size_t> mode_index;
  for (const auto& e : events) {
    const json::Value* t = e.find("total_tokens");
    pyint::BigInt tokens = t ? pyint::int_from_json(*t) : pyint::BigInt(0);
    total += tokens;
    std::string mode = str_of(e.find("mode"), "unknown");
    auto [it, added] = mode_index.try_emplace(mode, by_mode.size());
    if (added) by_mode.emplace_back(mode, pyint::BigInt(0));
    by_mode[it->second].second += tokens;
  }
  if (args.flag.at("json")) {
    json::Object modes;
    for (const auto& [mode, tokens] : by_mode) modes.append(mode, tokens.to_json());
    json::Object stats;
    stats.append("event_count", static_cast<long long>(events.size()));
    stats.append("total_tokens", total.to_json());
    stats.append("by_mode", std::move(modes));
    stats.append("recent", last(std::move(events), 20));
    print(json::dumps(json::Value(std::move(stats)), {.indent = 2}) + "\n");
    return 0;
  }
  std::string out = "Events: " + std::to_string(events.size()) + "\nTotal tokens: " + total.str() + "\n";
  for (const auto& [mode, tokens] : by_mode) out += "- " + mode + ": " + tokens.str() + "\n";
  print(out);
  return 0;
}

int command_main(int argc, char** argv) {
  return command::run("br: error: ", [&] {
    const std::optional<Args> args = parse_args({argv, argv + argc});
    if (!args) return 0;
    if (args->cmd == "scan") return cmd_scan(*args);
    if (args->cmd == "retrieve") return cmd_retrieve(*args);
    if (args->cmd == "prime") return cmd_prime(*args);
    if (args->cmd == "action") return cmd_action_log(*args);
    return cmd_stats(*args);
  });
}

}  // namespace kestrune::br
