// kestrune-mcp driven through its standard input, as the assistant drives it.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/testkit.h"
#include "kestrune/base/json.h"
#include "kestrune/base/text.h"
#include "kestrune/base/version.h"
#include "kestrune/mcp/mcp.h"

namespace kestrune::mcp {
namespace {

// The environment the server and the commands read, cleared for every test.
struct CleanEnv {
  testkit::ScopedEnv a{"CLAUDE_PROJECT_DIR", nullptr}, b{"BR_DATA_DIR", nullptr}, c{"KESTRUNE_RANKER", nullptr},
      d{"KESTRUNE_DATA_DIR", nullptr}, e{"BR_CAPABILITY_INDEX", nullptr}, f{"BR_QUERY", nullptr},
      g{"BR_EDIT_GUARD", nullptr};
};

// A copy of the bundled project, with no graph yet.
std::string shop(const testkit::TempDir& t) {
  const std::string root = t / "shop";
  std::filesystem::copy(testkit::source_path("examples/shop"), root, std::filesystem::copy_options::recursive);
  std::filesystem::remove_all(root + "/.braid");
  return root;
}

std::string request(int id, std::string_view method, std::string_view params = "{}") {
  return R"({"jsonrpc": "2.0", "id": )" + std::to_string(id) + R"(, "method": ")" + std::string(method) +
         R"(", "params": )" + std::string(params) + "}";
}

std::string call(int id, std::string_view tool, std::string_view arguments = "{}") {
  return request(id, "tools/call",
                 R"({"name": ")" + std::string(tool) + R"(", "arguments": )" + std::string(arguments) + "}");
}

struct Session {
  int status;
  std::vector<json::Value> answers;  // one per line the server wrote
  std::string err;
};

Session session(const std::vector<std::string>& lines, const std::vector<std::string>& args, const std::string& cwd) {
  std::string input;
  for (const std::string& l : lines) input += l + "\n";
  testkit::Output o = testkit::run_command("kestrune-mcp", args, cwd, input);
  Session s{o.status, {}, o.err};
  for (std::string_view line : text::split(o.out, "\n"))
    if (!line.empty()) s.answers.push_back(json::parse(line));
  return s;
}

// A tool's text, and whether it is an error.
std::pair<std::string, bool> tool_text(const json::Value& answer) {
  const json::Value& r = answer["result"];
  return {r["content"].as_array().at(0)["text"].as_string(), r["isError"].as_bool()};
}

TEST(Server, NegotiatesTheProtocolVersion) {
  CleanEnv env;
  testkit::TempDir t;
  const struct {
    std::string asked, answered;
  } cases[] = {{"2024-11-05", "2024-11-05"},
               {"2025-03-26", "2025-03-26"},
               {"2025-11-25", "2025-11-25"},
               {"1999-01-01", "2025-11-25"},
               {"2026-12-31", "2025-11-25"}};
  std::vector<std::string> lines;
  for (const auto& c : cases)
    lines.push_back(request(static_cast<int>(lines.size()), "initialize",
                            R"({"protocolVersion": ")" + c.asked +
                                R"(", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}})"));
  lines.push_back(R"({"jsonrpc": "2.0", "method": "notifications/initialized"})");
  lines.push_back(request(9, "ping"));
  const Session s = session(lines, {"--root", t.path()}, t.path());
  ASSERT_EQ(s.answers.size(), std::size(cases) + 1) << s.err;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const json::Value& r = s.answers[i]["result"];
    EXPECT_EQ(r["protocolVersion"].as_string(), cases[i].answered) << cases[i].asked;
    EXPECT_EQ(json::dumps(r["capabilities"]), R"({"tools": {}})");
    EXPECT_EQ(json::dumps(r["serverInfo"]), R"({"name": "kestrune", "version": ")" + std::string(VERSION) + "\"}");
  }
  EXPECT_EQ(json::dumps(s.answers.back()), R"({"jsonrpc": "2.0", "id": 9, "result": {}})");
}

// Whatever arrives, the server answers what is due and goes on to the end of its input.
TEST(Server, AnswersBadInputAndGoesOn) {
  CleanEnv env;
  testkit::TempDir t;
  const struct {
    std::string line;
    int code;  // 0: no answer is due
    std::string id = "null";
  } cases[] = {
      {"not json", -32700},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "ping")", -32700},
      {"\xff\xfe", -32700},
      {"", 0},
      {R"({"jsonrpc": "2.0", "id": 7, "method": "resources/list"})", -32601, "7"},
      {R"({"jsonrpc": "2.0", "id": "x", "method": 3})", -32600, "\"x\""},
      {R"({"jsonrpc": "1.0", "id": 2, "method": "ping"})", -32600, "2"},
      {R"({"jsonrpc": "2.0", "id": {}, "method": "ping"})", -32600},
      {R"({"jsonrpc": "2.0", "id": 3, "method": "ping", "params": 5})", -32600, "3"},
      {"[]", -32600},
      {"42", -32600},
      {request(4, "initialize", R"({"capabilities": {}})"), -32602, "4"},
      {request(5, "tools/call", R"({"name": "graph_nothing"})"), -32602, "5"},
      {request(6, "tools/call", "[1]"), -32602, "6"},
      {R"({"jsonrpc": "2.0", "method": "no/such/notification"})", 0},
      {R"({"jsonrpc": "2.0", "id": 8, "result": {}})", 0},
  };
  std::vector<std::string> lines;
  for (const auto& c : cases) lines.push_back(c.line);
  lines.push_back("[" + request(10, "ping") + R"(, {"jsonrpc": "2.0", "method": "notifications/cancelled"}])");
  lines.push_back(request(11, "ping"));
  const Session s = session(lines, {"--root", t.path()}, t.path());
  EXPECT_EQ(s.status, 0);
  size_t k = 0;
  for (const auto& c : cases) {
    if (c.code == 0) continue;
    ASSERT_LT(k, s.answers.size()) << c.line;
    const json::Value& a = s.answers[k++];
    EXPECT_EQ(a["error"]["code"].as_int(), c.code) << c.line;
    EXPECT_EQ(json::dumps(a["id"]), c.id) << c.line;
  }
  ASSERT_EQ(s.answers.size(), k + 2);
  EXPECT_EQ(json::dumps(s.answers[k]), R"([{"jsonrpc": "2.0", "id": 10, "result": {}}])");
  EXPECT_EQ(json::dumps(s.answers[k + 1]), R"({"jsonrpc": "2.0", "id": 11, "result": {}})");
}

TEST(Server, ListsEachToolWithTheSchemaOfItsArguments) {
  CleanEnv env;
  testkit::TempDir t;
  const Session s = session({request(1, "tools/list")}, {"--root", t.path()}, t.path());
  ASSERT_EQ(s.answers.size(), 1u);
  const json::Array& tools = s.answers[0]["result"]["tools"].as_array();
  const struct {
    std::string name, properties, required;
  } expected[] = {
      {"graph_continue", R"({"query": "string", "max_files": "integer", "budget": "integer"})", R"(["query"])"},
      {"graph_register_edit", R"({"file": "string", "summary": "string"})", R"(["file"])"},
      {"graph_dead_exports", "{}", "null"},
      {"graph_attention", "{}", "null"},
  };
  ASSERT_EQ(tools.size(), std::size(expected));
  for (size_t i = 0; i < tools.size(); ++i) {
    const json::Value& schema = tools[i]["inputSchema"];
    EXPECT_EQ(tools[i]["name"].as_string(), expected[i].name);
    EXPECT_EQ(schema["type"].as_string() + json::dumps(schema["additionalProperties"]), "objectfalse");
    json::Object types;
    for (const json::Member& m : schema["properties"].as_object()) types.append(m.key, m.value["type"]);
    EXPECT_EQ(json::dumps(types), expected[i].properties) << expected[i].name;
    const json::Value* required = schema.find("required");
    EXPECT_EQ(required ? json::dumps(*required) : "null", expected[i].required) << expected[i].name;
  }
  EXPECT_EQ(json::dumps(tools[0]["inputSchema"]["properties"]["max_files"]),
            R"({"type": "integer", "description": "At most this many files", "minimum": 1, "maximum": 200, )"
            R"("default": 8})");
}

// The four tools on the bundled project, and what they leave for the edit
// guard and br to read back.
TEST(Server, ToolsOnTheBundledProject) {
  CleanEnv env;
  testkit::TempDir t;
  const std::string root = shop(t);
  const std::string query = R"({"query": "Where are orders saved to the database?", "max_files": 3})";
  const Session s =
      session({call(1, "graph_continue", query), call(2, "graph_continue", query),
               call(3, "graph_register_edit", R"({"file": "lib/db.ts", "summary": "pooled connections"})"),
               call(4, "graph_register_edit", R"({"file": ")" + root + R"(/models/order.ts"})"),
               call(5, "graph_dead_exports"), call(6, "graph_attention")},
              {}, root);  // the root is the working directory
  ASSERT_EQ(s.answers.size(), 6u) << s.err;
  for (const json::Value& a : s.answers) EXPECT_FALSE(tool_text(a).second) << tool_text(a).first;

  // Built once, on the first call, and said so.
  const auto [first, e1] = tool_text(s.answers[0]);
  EXPECT_TRUE(first.starts_with("No graph was found, so this call built " + root + "/.braid/info_graph.json")) << first;
  EXPECT_NE(first.find("# Project context"), std::string::npos);
  const auto [second, e2] = tool_text(s.answers[1]);
  EXPECT_TRUE(second.starts_with("# Project context\nRoot: " + root)) << second;

  // The files shown were recorded as read, then as cache hits.
  const json::Array actions = json::parse(t.read("shop/.braid/chat_action_graph.json"))["actions"].as_array();
  ASSERT_EQ(actions.size(), 8u);  // three files twice, then two edits
  std::vector<std::string> kinds, files;
  for (const json::Value& a : actions) {
    kinds.push_back(a["kind"].as_string());
    files.push_back(a["payload"]["file"].as_string());
    const std::string& f = files.back();
    if (kinds.back().starts_with("read")) {
      EXPECT_NE(second.find("\n## " + f + "\n"), std::string::npos) << f;
    }
  }
  EXPECT_EQ(text::join(kinds, " "),
            "read read read read_cache_hit read_cache_hit read_cache_hit register_edit register_edit");
  EXPECT_EQ(std::vector(files.begin(), files.begin() + 3), std::vector(files.begin() + 3, files.begin() + 6));
  EXPECT_EQ(files[6], "lib/db.ts");
  EXPECT_EQ(files[7], "models/order.ts");  // absolute inside the root: stored relative

  const auto [registered, e3] = tool_text(s.answers[2]);
  EXPECT_TRUE(registered.starts_with("Registered the edit of lib/db.ts: attention score ")) << registered;
  EXPECT_TRUE(registered.ends_with(", at or above the edit guard's threshold (4.0).")) << registered;

  // The uncapped dead-export list is the audit's, one line per record.
  const testkit::Output audit = testkit::run_command("audit", {"--root", root, "--json"}, root);
  std::string expected;
  size_t count = 0;
  const json::Value report = json::parse(audit.out);
  for (const json::Value& d : report["dead_exports"].as_array()) {
    ++count;
    expected += "\n" + d["file"].as_string() + ":" + json::py_str(d["line"]) + "  " + d["symbol"].as_string() + "  (" +
                d["type"].as_string() + ")";
  }
  EXPECT_GT(count, 0u);
  EXPECT_EQ(tool_text(s.answers[4]).first, "Dead exports: " + std::to_string(count) + expected);

  const auto [attention, e6] = tool_text(s.answers[5]);
  EXPECT_TRUE(attention.starts_with("2 of 4 files at or above the edit guard's threshold (4.0)")) << attention;
  EXPECT_TRUE(attention.ends_with(" min ago  lib/db.ts")) << attention;

  // Read back: the guard asks before an edit of the registered file ...
  const std::string edit = R"({"tool_name": "Edit", "tool_input": {"file_path": ")" + root + R"(/lib/db.ts"}})";
  const testkit::Output guard = testkit::run_command("edit_guard", {}, root, edit);
  EXPECT_EQ(guard.status, 1);
  EXPECT_NE(guard.out.find("  lib/db.ts  [edited 1×"), std::string::npos) << guard.out;
  // ... and br prime, on the project's data directory, shows the action.
  testkit::ScopedEnv data("KESTRUNE_DATA_DIR", (root + "/.braid").c_str());
  const testkit::Output prime = testkit::run_command("br", {"prime", "--query", "orders"}, root);
  EXPECT_NE(prime.out.find("## Action Trail (Recent 2)\n- [edit] pooled connections\n- [edit] \n"), std::string::npos)
      << prime.out;
}

TEST(Server, ToolFailuresAreErrorResults) {
  CleanEnv env;
  testkit::TempDir t;
  const std::string root = shop(t);
  const struct {
    std::string tool, arguments, message;
  } cases[] = {
      {"graph_register_edit", "{}", "graph_register_edit needs the argument \"file\""},
      {"graph_register_edit", R"({"file": "  "})", "The file is empty: name the file you changed"},
      {"graph_register_edit", R"({"file": 7})", "The argument \"file\" must be a string"},
      {"graph_continue", R"({"query": "x", "max_files": "8"})", "The argument \"max_files\" must be an integer"},
      {"graph_continue", R"({"query": "x", "budget": 0})", "The argument \"budget\" must be between 1 and 1000000"},
      {"graph_continue", R"({"query": "x", "budget": 1e300})", "The argument \"budget\" must be between 1 and 1000000"},
      {"graph_continue", R"({"query": "x", "top": 3})", "graph_continue has no argument \"top\""},
      {"graph_continue", R"({"query": ""})", "The query is empty: say what the task is"},
      {"graph_attention", "[]", "The arguments must be an object"},
  };
  std::vector<std::string> lines;
  for (const auto& c : cases) lines.push_back(call(static_cast<int>(lines.size()), c.tool, c.arguments));
  const Session s = session(lines, {"--root", root}, t.path());
  ASSERT_EQ(s.answers.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(tool_text(s.answers[i]), std::make_pair(cases[i].message, true)) << cases[i].arguments;
  EXPECT_FALSE(std::filesystem::exists(root + "/.braid/chat_action_graph.json"));

  // No graph, and no project to build one from.
  const std::string gone = t / "gone";
  const Session missing = session({call(1, "graph_continue", R"({"query": "orders"})"), call(2, "graph_dead_exports")},
                                  {"--root", gone}, t.path());
  ASSERT_EQ(missing.answers.size(), 2u);
  for (const json::Value& a : missing.answers)
    EXPECT_EQ(tool_text(a), std::make_pair("No graph at " + gone +
                                               "/.braid/info_graph.json, and no project to build "
                                               "one from: " +
                                               gone + " is not a directory",
                                           true));

  // A graph that is not JSON is named, not guessed at.
  t.write("shop/.braid/info_graph.json", "{\"nodes\": [");
  const auto [text, is_error] =
      tool_text(session({call(1, "graph_dead_exports")}, {"--root", root}, t.path()).answers.at(0));
  EXPECT_TRUE(is_error);
  EXPECT_TRUE(text.starts_with("Cannot read the graph " + root + "/.braid/info_graph.json: ")) << text;
}

}  // namespace
}  // namespace kestrune::mcp
