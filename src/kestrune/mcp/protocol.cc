// JSON-RPC 2.0 over lines, and the protocol's methods on top of it.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <vector>

#include "kestrune/base/command.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/base/version.h"
#include "kestrune/mcp/mcp.h"

namespace kestrune::mcp {

namespace {

// ---- the tools' arguments -------------------------------------------------------

// One argument of a tool: its schema, and how a call's value is checked.
struct Param {
  std::string_view name;
  bool integer;  // else a string
  std::string_view description;
  bool required = false;
  long long def = 0, min = 0, max = 0;  // integers only
  std::string_view def_text = {};       // strings that are not required
};

struct Tool {
  std::string_view name;
  std::string_view description;
  std::vector<Param> params;
  // Runs the tool on checked arguments: `text` and `num` by parameter, in order.
  std::string (*run)(Project&, const std::vector<std::string>& text, const std::vector<long long>& num);
};

const std::vector<Tool>& tools() {
  static const std::vector<Tool> t = {
      {"graph_continue",
       "Context for a task from the project's information graph: the files most relevant to the query, best "
       "first, each with its summary, symbol outline and the lines that matter, and the relations among them, "
       "as Markdown within a token budget. Call it before reading files, and again when the task moves on; the "
       "files it returns are recorded as read for the edit guard.",
       {{"query", false, "The task or question, in your own words", true},
        {"max_files", true, "At most this many files", false, 8, 1, 200},
        {"budget", true, "Token budget of the returned context", false, 5000, 1, 1000000}},
       [](Project& p, const std::vector<std::string>& s, const std::vector<long long>& n) {
         return p.graph_continue(s[0], n[1], n[2]);
       }},
      {"graph_register_edit",
       "Register a change you made to a file: recorded for the edit guard (which asks before destructive changes "
       "to files worked on heavily) and in the project's action log. Answers with the file's new attention "
       "score. Call it after every change.",
       {{"file", false, "The file you changed: relative to the project root, or absolute", true},
        {"summary", false, "What changed, in a few words", false, 0, 0, 0, ""}},
       [](Project& p, const std::vector<std::string>& s, const std::vector<long long>&) {
         return p.graph_register_edit(s[0], s[1]);
       }},
      {"graph_dead_exports",
       "Every exported symbol nothing in the project uses (the audit's dead-export check, without its cap): "
       "the count, then one \"file:line  symbol  (type)\" per line.",
       {},
       [](Project& p, const std::vector<std::string>&, const std::vector<long long>&) {
         return p.graph_dead_exports();
       }},
      {"graph_attention",
       "The files read and edited heavily of late, at or above the edit guard's threshold: score, reads, edits "
       "and minutes since, highest first, scored as the guard scores them.",
       {},
       [](Project& p, const std::vector<std::string>&, const std::vector<long long>&) { return p.graph_attention(); }},
  };
  return t;
}

json::Value schema(const Tool& tool) {
  json::Object props;
  json::Array required;
  for (const Param& p : tool.params) {
    json::Object prop;
    prop.append("type", p.integer ? "integer" : "string");
    prop.append("description", p.description);
    if (p.integer) {
      prop.append("minimum", p.min);
      prop.append("maximum", p.max);
    }
    if (p.required)
      required.push_back(p.name);
    else if (p.integer)
      prop.append("default", p.def);
    else
      prop.append("default", p.def_text);
    props.append(std::string(p.name), std::move(prop));
  }
  json::Object s;
  s.append("type", "object");
  s.append("properties", std::move(props));
  if (!required.empty()) s.append("required", std::move(required));
  s.append("additionalProperties", false);
  return s;
}

// The call's arguments checked against the tool's parameters; ToolError names what is wrong.
void check_arguments(const Tool& tool, const json::Value* given, std::vector<std::string>& text,
                     std::vector<long long>& num) {
  static const json::Value kNone = json::Object{};
  if (given == nullptr || given->is_null()) given = &kNone;
  if (!given->is_object()) throw ToolError("The arguments must be an object");
  for (const json::Member& m : given->as_object()) {
    bool known = false;
    for (const Param& p : tool.params) known = known || p.name == m.key;
    if (!known) throw ToolError(std::string(tool.name) + " has no argument " + json::dumps(json::Value(m.key)));
  }
  for (const Param& p : tool.params) {
    const json::Value* v = given->find(p.name);
    const std::string quoted = json::dumps(json::Value(p.name));
    if (v == nullptr) {
      if (p.required) throw ToolError(std::string(tool.name) + " needs the argument " + quoted);
      text.emplace_back(p.def_text);
      num.push_back(p.def);
    } else if (p.integer) {
      // 8.0 is what some clients make of 8.
      const double d = v->is_float() ? v->as_double() : 0.0;
      if (!v->is_integer() && !(v->is_float() && std::isfinite(d) && std::floor(d) == d))
        throw ToolError("The argument " + quoted + " must be an integer");
      const bool in_range = v->is_int()     ? v->as_int() >= p.min && v->as_int() <= p.max
                            : v->is_float() ? d >= static_cast<double>(p.min) && d <= static_cast<double>(p.max)
                                            : false;
      if (!in_range)
        throw ToolError("The argument " + quoted + " must be between " + std::to_string(p.min) + " and " +
                        std::to_string(p.max));
      text.emplace_back();
      num.push_back(v->is_int() ? v->as_int() : static_cast<long long>(d));
    } else {
      if (!v->is_string()) throw ToolError("The argument " + quoted + " must be a string");
      text.push_back(v->as_string());
      num.push_back(0);
    }
  }
}

// ---- JSON-RPC ------------------------------------------------------------------

constexpr int PARSE_ERROR = -32700;
constexpr int INVALID_REQUEST = -32600;
constexpr int METHOD_NOT_FOUND = -32601;
constexpr int INVALID_PARAMS = -32602;
constexpr int INTERNAL_ERROR = -32603;

json::Value response(const json::Value& id, std::string_view member, json::Value value) {
  json::Object o;
  o.append("jsonrpc", "2.0");
  o.append("id", id);
  o.append(std::string(member), std::move(value));
  return o;
}

json::Value error(const json::Value& id, int code, std::string message) {
  json::Object e;
  e.append("code", code);
  e.append("message", std::move(message));
  return response(id, "error", std::move(e));
}

// A JSON-RPC id: a string or a number (null is answered too).
bool valid_id(const json::Value& id) { return id.is_null() || id.is_string() || id.is_number(); }

// One line of text, for a message that must not break the line-per-message framing or the assistant's reading.
std::string one_line(std::string_view s) {
  std::string out;
  for (char c : s) out += c == '\n' || c == '\r' ? ' ' : c;
  return out;
}

json::Value tool_result(std::string text, bool is_error) {
  json::Object item;
  item.append("type", "text");
  item.append("text", std::move(text));
  json::Object r;
  r.append("content", json::Array{std::move(item)});
  r.append("isError", is_error);
  return r;
}

std::string_view negotiated(std::string_view asked) {
  for (std::string_view v : PROTOCOL_VERSIONS)
    if (v == asked) return v;
  return PROTOCOL_VERSIONS.back();
}

json::Value initialize_result(std::string_view version, const Project& project) {
  json::Object caps;
  caps.append("tools", json::Object{});
  json::Object info;
  info.append("name", SERVER_NAME);
  info.append("version", VERSION);
  json::Object r;
  r.append("protocolVersion", version);
  r.append("capabilities", std::move(caps));
  r.append("serverInfo", std::move(info));
  r.append("instructions",
           "Tools over the information graph of the project at " + project.root() +
               ". Start each task with graph_continue, and register every change with graph_register_edit, so "
               "that the edit guard knows what you have worked on.");
  return r;
}

void log(std::string_view line) { command::err("kestrune-mcp: " + one_line(line) + "\n"); }

}  // namespace

json::Array tool_list() {
  json::Array out;
  for (const Tool& t : tools()) {
    json::Object o;
    o.append("name", t.name);
    o.append("description", t.description);
    o.append("inputSchema", schema(t));
    out.push_back(std::move(o));
  }
  return out;
}

json::Value Server::call_tool(const json::Value& params, const json::Value& id) {
  const json::Value* name = params.find("name");
  if (name == nullptr || !name->is_string()) return error(id, INVALID_PARAMS, "Invalid params: no tool name");
  const Tool* tool = nullptr;
  for (const Tool& t : tools())
    if (t.name == name->as_string()) tool = &t;
  if (tool == nullptr) return error(id, INVALID_PARAMS, "Unknown tool: " + name->as_string());
  std::string failure;
  try {
    std::vector<std::string> text;
    std::vector<long long> num;
    check_arguments(*tool, params.find("arguments"), text, num);
    return response(id, "result", tool_result(tool->run(project_, text, num), false));
  } catch (const std::exception& e) {
    failure = one_line(e.what());
  } catch (...) {
    failure = "unexpected failure";
  }
  log(std::string(tool->name) + ": " + failure);
  return response(id, "result", tool_result(failure, true));
}

std::optional<json::Value> Server::answer(const json::Value& message) {
  static const json::Value kNull;
  if (!message.is_object()) return error(kNull, INVALID_REQUEST, "Invalid Request: not an object");
  const json::Value* id_member = message.find("id");
  const json::Value& id = id_member != nullptr && valid_id(*id_member) ? *id_member : kNull;
  const json::Value* method = message.find("method");
  // A response to a request of ours: we send none, so there is nothing to say to it.
  if (method == nullptr && id_member != nullptr && (message.find("result") || message.find("error")))
    return std::nullopt;
  // Notifications (initialized, cancelled, ...) change nothing here and are never answered.
  if (method != nullptr && method->is_string() && id_member == nullptr) return std::nullopt;
  const json::Value* version = message.find("jsonrpc");
  if (version == nullptr || !version->is_string() || version->as_string() != "2.0")
    return error(id, INVALID_REQUEST, "Invalid Request: \"jsonrpc\" must be \"2.0\"");
  if (method == nullptr || !method->is_string())
    return error(id, INVALID_REQUEST, "Invalid Request: \"method\" must be a string");
  if (id_member != nullptr && !valid_id(*id_member))
    return error(kNull, INVALID_REQUEST, "Invalid Request: \"id\" must be a string or a number");
  const json::Value* params = message.find("params");
  if (params != nullptr && !params->is_object() && !params->is_array())
    return error(id, INVALID_REQUEST, "Invalid Request: \"params\" must be an object or an array");

  static const json::Value kNoParams = json::Object{};
  const json::Value& p = params != nullptr ? *params : kNoParams;
  const std::string& m = method->as_string();
  if (!p.is_object() && (m == "initialize" || m == "tools/call"))
    return error(id, INVALID_PARAMS, "Invalid params: " + m + " takes an object");
  if (m == "initialize") {
    const json::Value* asked = p.find("protocolVersion");
    if (asked == nullptr || !asked->is_string())
      return error(id, INVALID_PARAMS, "Invalid params: \"protocolVersion\" must be a string");
    return response(id, "result", initialize_result(negotiated(asked->as_string()), project_));
  }
  if (m == "ping") return response(id, "result", json::Object{});
  if (m == "tools/list") {
    json::Object r;
    r.append("tools", tool_list());
    return response(id, "result", std::move(r));
  }
  if (m == "tools/call") return call_tool(p, id);
  return error(id, METHOD_NOT_FOUND, "Method not found: " + m);
}

std::optional<std::string> Server::handle(std::string_view line) {
  static const json::Value kNull;
  try {
    if (text::strip(line).empty()) return std::nullopt;
    json::Value message;
    try {
      if (!text::is_valid_utf8(line)) throw json::ParseError("the line is not UTF-8", 0);
      message = json::parse(line);
    } catch (const json::ParseError& e) {
      return json::dumps(error(kNull, PARSE_ERROR, std::string("Parse error: ") + e.what()));
    }
    if (!message.is_array()) {
      std::optional<json::Value> a = answer(message);
      return a ? std::optional(json::dumps(*a)) : std::nullopt;
    }
    // A batch: the answers to its requests, together.
    if (message.as_array().empty()) return json::dumps(error(kNull, INVALID_REQUEST, "Invalid Request: empty batch"));
    json::Array answers;
    for (const json::Value& m : message.as_array())
      if (std::optional<json::Value> a = answer(m)) answers.push_back(std::move(*a));
    if (answers.empty()) return std::nullopt;
    return json::dumps(json::Value(std::move(answers)));
  } catch (const std::exception& e) {
    log(e.what());
    return json::dumps(error(kNull, INTERNAL_ERROR, "Internal error: " + one_line(e.what())));
  } catch (...) {
    return json::dumps(error(kNull, INTERNAL_ERROR, "Internal error"));
  }
}

void serve(int in_fd, Server& server, const std::function<void(std::string_view)>& write) {
  std::string pending;
  char buf[1 << 16];
  auto deliver = [&](std::string_view line) {
    if (std::optional<std::string> a = server.handle(line)) write(*a + "\n");
  };
  for (;;) {
    const ssize_t n = ::read(in_fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the end of input, or a read error: nothing more will come
    pending.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1)
      deliver(std::string_view(pending).substr(start, nl - start));
    pending.erase(0, start);
  }
  if (!pending.empty()) deliver(pending);
}

}  // namespace kestrune::mcp
