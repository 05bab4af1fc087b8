// `br prime --hook` over arbitrary standard input, against a small graph in
// a data directory of its own: whatever arrives, the hook exits 0.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "kestrune/base/fs.h"
#include "kestrune/br/commands.h"

namespace {

constexpr std::string_view GRAPH = R"({"nodes": [
  {"id": "src/api/orders.ts", "kind": "file", "path": "src/api/orders.ts", "ext": ".ts", "summary": "Order routes",
   "keywords": ["order", "invoice", "checkout"]},
  {"id": "src/api/orders.ts::createOrder", "kind": "symbol", "path": "src/api/orders.ts", "name": "createOrder",
   "symbol_type": "api_route", "keywords": ["create", "order"]},
  {"id": "docs/guide.md", "kind": "file", "path": "docs/guide.md", "ext": ".md", "summary": "Guide", "keywords": []}],
 "edges": [{"from": "src/api/orders.ts", "to": "src/api/orders.ts::createOrder", "rel": "contains"}],
 "node_count": 3, "edge_count": 1})";

int input_fd = -1;
char data_dir[] = "/tmp/kestrune-prime-fuzz-XXXXXX";

void remove_data_dir() {
  ::unlink((std::string(data_dir) + "/info_graph.json").c_str());
  ::rmdir(data_dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!::mkdtemp(data_dir)) std::abort();
  std::atexit(remove_data_dir);
  kestrune::fs::write_atomic(std::string(data_dir) + "/info_graph.json", GRAPH);
  ::setenv("KESTRUNE_DATA_DIR", data_dir, 1);
  ::unsetenv("BR_QUERY");
  input_fd = ::memfd_create("prime-input", 0);
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (::ftruncate(input_fd, 0) != 0 || ::pwrite(input_fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  ::lseek(input_fd, 0, SEEK_SET);
  ::dup2(input_fd, STDIN_FILENO);
  char prog[] = "br", prime[] = "prime", hook[] = "--hook";
  char* argv[] = {prog, prime, hook, nullptr};
  if (kestrune::br::command_main(3, argv) != 0) __builtin_trap();
  return 0;
}
