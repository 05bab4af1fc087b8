// kestrune-mcp's message handling over arbitrary input, read line by line as
// the command reads its standard input, against a small project of its own:
// the server reads to the end, and every answer is one line of JSON.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/mcp/mcp.h"

namespace {

constexpr std::string_view GRAPH = R"({"nodes": [
  {"id": "src/orders.ts", "kind": "file", "path": "src/orders.ts", "ext": ".ts", "summary": "Order routes",
   "keywords": ["order", "checkout"], "content": "export function createOrder() { return db.save() }\n"},
  {"id": "src/orders.ts::createOrder", "kind": "symbol", "path": "src/orders.ts", "name": "createOrder",
   "symbol_type": "api_route", "exported": true, "line_start": 0, "line_end": 0, "keywords": ["create", "order"]}],
 "edges": [{"from": "src/orders.ts", "to": "src/orders.ts::createOrder", "rel": "contains"}],
 "node_count": 2, "edge_count": 1})";

int input_fd = -1;
std::string root;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void remove_root() {
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/kestrune-mcp-fuzz-XXXXXX";
  if (!::mkdtemp(dir)) std::abort();
  root = dir;
  std::atexit(remove_root);
  kestrune::fs::makedirs(root + "/src");
  kestrune::fs::makedirs(root + "/.braid");
  kestrune::fs::write_atomic(root + "/src/orders.ts", "export function createOrder() { return db.save() }\n");
  kestrune::fs::write_atomic(root + "/.braid/info_graph.json", GRAPH);
  for (const char* name : {"CLAUDE_PROJECT_DIR", "BR_DATA_DIR", "KESTRUNE_RANKER", "BR_CAPABILITY_INDEX"})
    ::unsetenv(name);
  input_fd = ::memfd_create("mcp-input", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (::ftruncate(input_fd, 0) != 0 || ::pwrite(input_fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  ::lseek(input_fd, 0, SEEK_SET);
  // Each input starts from the same state: no attention, no action log.
  ::unlink((root + "/.braid/chat_action_graph.json").c_str());
  ::unlink((root + "/.braid/action_events.jsonl").c_str());

  kestrune::mcp::Project project(root);
  kestrune::mcp::Server server(project);
  size_t answers = 0;
  kestrune::mcp::serve(input_fd, server, [&](std::string_view line) {
    check(!line.empty() && line.back() == '\n' && line.find('\n') == line.size() - 1);
    check(kestrune::json::parse(line.substr(0, line.size() - 1)).is_object() || line.front() == '[');
    ++answers;
  });
  check(::lseek(input_fd, 0, SEEK_CUR) == static_cast<off_t>(size));  // read to the end
  size_t lines = 0;
  for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
  check(answers <= lines + 1);
  return 0;
}
