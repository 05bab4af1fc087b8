#include "kestrune/br/commands.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <unordered_map>

#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/br/br.h"
#include "kestrune/br/pyint.h"
#include "kestrune/br/retrieve.h"
#include "kestrune/base/regex.h"
#include "kestrune/lexscan/lexscan.h"

namespace kestrune::br {
namespace {

// ---- output ---------------------------------------------------------------

// Standard output was closed by the reader (br retrieve | head): stop quietly.
struct StdoutClosed {};

void write_fd(int fd, std::string_view s) {
  while (!s.empty()) {
    ssize_t n = ::write(fd, s.data(), s.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (fd == 1 && errno == EPIPE) throw StdoutClosed{};
      throw fs::OsError(errno, fd == 1 ? "<stdout>" : "<stderr>");
    }
    s.remove_prefix(static_cast<size_t>(n));
  }
}

void print(std::string_view s) { write_fd(1, s); }

// ---- argument parsing -----------------------------------------------------

struct OptSpec {
  enum Kind { Text, Int, Flag } kind = Text;
  std::string flag, help;
  bool required = false;
  std::string default_text;
  long long default_num = 0;

  std::string dest() const { return text::replace(flag.substr(2), "-", "_"); }
  std::string metavar() const { return text::upper(dest()); }
  std::string invocation() const { return kind == Flag ? flag : flag + " " + metavar(); }
};

struct CmdSpec {
  std::string name, help, description;
  std::vector<OptSpec> opts;
  std::vector<CmdSpec> subs;
  std::string sub_dest;
};

OptSpec text_opt(std::string flag, std::string help, std::string def, bool required = false) {
  OptSpec o;
  o.kind = OptSpec::Text;
  o.flag = std::move(flag);
  o.help = std::move(help);
  o.required = required;
  o.default_text = std::move(def);
  return o;
}

OptSpec int_opt(std::string flag, long long def) {
  OptSpec o;
  o.kind = OptSpec::Int;
  o.flag = std::move(flag);
  o.default_num = def;
  return o;
}

OptSpec flag_opt(std::string flag) {
  OptSpec o;
  o.kind = OptSpec::Flag;
  o.flag = std::move(flag);
  return o;
}

CmdSpec command(std::string name, std::string help, std::vector<OptSpec> opts) {
  CmdSpec c;
  c.name = std::move(name);
  c.help = std::move(help);
  c.opts = std::move(opts);
  return c;
}

CmdSpec build_spec() {
  const Paths& p = paths();
  CmdSpec scan = command("scan", "Scan project and build info graph",
                         {text_opt("--root", "Project root to scan", p.default_root),
                          text_opt("--out", "Output graph JSON", p.graph_json)});
  CmdSpec retrieve = command("retrieve", "Retrieve relevant files/edges for a query",
                             {text_opt("--query", "Natural language task/query", "", true),
                              int_opt("--top-files", 20), int_opt("--top-edges", 40),
                              flag_opt("--json")});
  CmdSpec prime = command("prime", "Output compact context for Claude hooks",
                          {text_opt("--query", "Current query/task", ""), int_opt("--top-files", 12),
                           int_opt("--top-edges", 20), int_opt("--recent-actions", 8)});
  CmdSpec log = command("log", "Append action event",
                        {text_opt("--kind", "Action kind", "", true),
                         text_opt("--summary", "Short action summary", ""),
                         text_opt("--meta", "JSON object metadata", "")});
  CmdSpec action = command("action", "Action graph operations", {});
  action.subs = {log};
  action.sub_dest = "action_cmd";
  CmdSpec stats = command("stats", "Token usage stats", {flag_opt("--json")});
  CmdSpec br = command("br", "", {});
  br.description = "Braid starter CLI";
  br.subs = {scan, retrieve, prime, action, stats};
  br.sub_dest = "cmd";
  return br;
}

std::string choices(const CmdSpec& c) {
  std::vector<std::string> names;
  for (const auto& s : c.subs) names.push_back(s.name);
  return "{" + text::join(names, ",") + "}";
}

std::string usage(const CmdSpec& c, const std::string& prog) {
  std::string u = "usage: " + prog + " [-h]";
  for (const auto& o : c.opts) u += o.required ? " " + o.invocation() : " [" + o.invocation() + "]";
  if (!c.subs.empty()) u += " " + choices(c) + " ...";
  return u + "\n";
}

void help_row(std::string& out, const std::string& invocation, const std::string& help,
              size_t indent = 2) {
  std::string row = std::string(indent, ' ') + invocation;
  if (help.empty()) {
    out += row + "\n";
  } else if (row.size() <= 22) {
    out += row + std::string(24 - row.size(), ' ') + help + "\n";
  } else {
    out += row + "\n" + std::string(24, ' ') + help + "\n";
  }
}

std::string help_text(const CmdSpec& c, const std::string& prog) {
  std::string out = usage(c, prog);
  if (!c.description.empty()) out += "\n" + c.description + "\n";
  if (!c.subs.empty()) {
    out += "\npositional arguments:\n";
    help_row(out, choices(c), "");
    for (const auto& s : c.subs) help_row(out, s.name, s.help, 4);
  }
  out += "\noptions:\n";
  help_row(out, "-h, --help", "show this help message and exit");
  for (const auto& o : c.opts) help_row(out, o.invocation(), o.help);
  return out;
}

bool looks_negative_number(std::string_view s) {
  static const re::Regex num(R"(^-\d+$|^-\d*\.\d+$)");
  return num.contains(s);
}

// Help was printed; parsing ends with status 0.
struct HelpShown {};

void parse_level(const CmdSpec& c, const std::string& prog, const std::vector<std::string>& argv,
                 size_t i, Args& out) {
  auto fail = [&](const std::string& message) {
    return UsageError{usage(c, prog), prog, message};
  };
  for (const auto& o : c.opts) {
    if (o.kind == OptSpec::Text) out.text[o.dest()] = o.default_text;
    if (o.kind == OptSpec::Int) out.num[o.dest()] = o.default_num;
    if (o.kind == OptSpec::Flag) out.flag[o.dest()] = false;
  }
  std::vector<bool> seen(c.opts.size(), false);
  std::vector<std::string> unknown;
  bool sub_chosen = false;
  for (; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg == "-h" || (arg.size() > 3 && text::starts_with("--help", arg))) {
      print(help_text(c, prog));
      throw HelpShown{};
    }
    if (text::starts_with(arg, "--") && arg.size() > 2) {
      size_t eq = arg.find('=');
      std::string name = arg.substr(0, eq);
      std::vector<size_t> hits;
      for (size_t k = 0; k < c.opts.size(); ++k) {
        if (c.opts[k].flag == name) {
          hits = {k};
          break;
        }
        if (text::starts_with(c.opts[k].flag, name)) hits.push_back(k);
      }
      if (hits.empty()) {
        unknown.push_back(arg);
        continue;
      }
      if (hits.size() > 1) {
        std::vector<std::string> names;
        for (size_t k : hits) names.push_back(c.opts[k].flag);
        throw fail("ambiguous option: " + name + " could match " + text::join(names, ", "));
      }
      const OptSpec& o = c.opts[hits[0]];
      seen[hits[0]] = true;
      if (o.kind == OptSpec::Flag) {
        if (eq != std::string::npos)
          throw fail("argument " + o.flag + ": ignored explicit argument '" + arg.substr(eq + 1) + "'");
        out.flag[o.dest()] = true;
        continue;
      }
      std::string value;
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
      } else {
        if (i + 1 >= argv.size() ||
            (text::starts_with(argv[i + 1], "-") && argv[i + 1] != "-" && !looks_negative_number(argv[i + 1])))
          throw fail("argument " + o.flag + ": expected one argument");
        value = argv[++i];
      }
      if (o.kind == OptSpec::Text) {
        out.text[o.dest()] = value;
      } else {
        try {
          out.num[o.dest()] = int_from_string(value).saturated();
        } catch (const IntConversionError&) {
          throw fail("argument " + o.flag + ": invalid int value: '" + value + "'");
        }
      }
      continue;
    }
    if (text::starts_with(arg, "-") && arg != "-" && !looks_negative_number(arg)) {
      unknown.push_back(arg);
      continue;
    }
    if (!c.subs.empty() && !sub_chosen) {
      const CmdSpec* sub = nullptr;
      for (const auto& s : c.subs)
        if (s.name == arg) sub = &s;
      if (!sub) {
        std::vector<std::string> names;
        for (const auto& s : c.subs) names.push_back("'" + s.name + "'");
        throw fail("argument " + c.sub_dest + ": invalid choice: '" + arg + "' (choose from " +
                   text::join(names, ", ") + ")");
      }
      (c.sub_dest == "cmd" ? out.cmd : out.action_cmd) = sub->name;
      sub_chosen = true;
      parse_level(*sub, prog + " " + sub->name, argv, i + 1, out);
      break;
    }
    unknown.push_back(arg);
  }
  std::vector<std::string> missing;
  for (size_t k = 0; k < c.opts.size(); ++k)
    if (c.opts[k].required && !seen[k]) missing.push_back(c.opts[k].flag);
  if (!c.subs.empty() && !sub_chosen) missing.push_back(c.sub_dest);
  if (!missing.empty())
    throw fail("the following arguments are required: " + text::join(missing, ", "));
  if (!unknown.empty()) {
    // argparse reports leftovers against the top-level program.
    throw UsageError{usage(build_spec(), "br"), "br", "unrecognized arguments: " + text::join(unknown, " ")};
  }
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
  Args args;
  try {
    parse_level(build_spec(), "br", argv, 1, args);
  } catch (const HelpShown&) {
    return std::nullopt;
  }
  return args;
}

json::Array read_action_events(long long limit) { return last(read_jsonl(paths().action_log), limit); }

int cmd_scan(const Args& args) {
  const std::string root = fs::resolve(args.text.at("root"));
  json::Value graph = lexscan::scan(root);
  ensure_data_dir();
  const std::string& out_arg = args.text.at("out");
  const std::string out = out_arg.empty() ? paths().graph_json : fs::resolve(out_arg);
  fs::write_atomic(out, json::dumps(graph, {.indent = 2}));
  print("Scanned: " + str_of(graph.find("node_count"), "None") + " nodes, " +
        str_of(graph.find("edge_count"), "None") + " edges\nWrote: " + out + "\n");
  return 0;
}

int cmd_retrieve(const Args& args) {
  const std::string& query = args.text.at("query");
  RetrieveResult r = retrieve_from_graph_file(query, args.num.at("top_files"), args.num.at("top_edges"));
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

int cmd_prime(const Args& args) {
  std::string query = args.text.at("query");
  if (query.empty()) {
    const char* env = std::getenv("BR_QUERY");
    query = env ? env : "General codebase maintenance task";
  }
  RetrieveResult r = retrieve_from_graph_file(query, args.num.at("top_files"), args.num.at("top_edges"));
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
      write_fd(2, "error: invalid --meta JSON: " + reason + "\n");
      return 2;
    }
  }
  json::Object event;
  event.append("timestamp", utc_timestamp());
  event.append("kind", args.text.at("kind"));
  event.append("summary", args.text.at("summary"));
  event.append("meta", std::move(meta));
  fs::append(paths().action_log, json::dumps(json::Value(std::move(event))) + "\n");
  print("ok\n");
  return 0;
}

int cmd_stats(const Args& args) {
  json::Array events = read_jsonl(paths().token_log);
  BigInt total;
  std::vector<std::pair<std::string, BigInt>> by_mode;
  std::unordered_map<std::string, size_t> mode_index;
  for (const auto& e : events) {
    const json::Value* t = e.find("total_tokens");
    BigInt tokens = t ? int_from_json(*t) : BigInt(0);
    total += tokens;
    std::string mode = str_of(e.find("mode"), "unknown");
    auto [it, added] = mode_index.try_emplace(mode, by_mode.size());
    if (added) by_mode.emplace_back(mode, BigInt(0));
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

int run(int argc, char** argv) {
  try {
    std::vector<std::string> arg_list(argv, argv + argc);
    std::optional<Args> args;
    try {
      args = parse_args(arg_list);
    } catch (const UsageError& e) {
      write_fd(2, e.usage + e.prog + ": error: " + e.message + "\n");
      return 2;
    }
    if (!args) return 0;
    if (args->cmd == "scan") return cmd_scan(*args);
    if (args->cmd == "retrieve") return cmd_retrieve(*args);
    if (args->cmd == "prime") return cmd_prime(*args);
    if (args->cmd == "action") return cmd_action_log(*args);
    return cmd_stats(*args);
  } catch (const StdoutClosed&) {
    return 0;
  } catch (const std::exception& e) {
    std::string msg = text::replace(e.what(), "\n", " ");
    try {
      write_fd(2, "br: error: " + msg + "\n");
    } catch (...) {
    }
    return 1;
  }
}

}  // namespace kestrune::br
