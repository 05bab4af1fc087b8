// The scan driver and the lexscan command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/lexscan/graph.h"
#include "kestrune/lexscan/scan_driver.h"

namespace kestrune::lexscan {

// The regex scanner, for the scan driver.
const Scanner& regex_scanner();

// ---- one file, as both scanners read it ----------------------------------

struct SmallFile {
  int64_t size;        // as fstat gave it
  bool link;           // whether the path is a symbolic link
  fs::FileStat stat;   // the open file's status, before it was read
};

// The bytes of a regular file of at most `max_bytes`, read into `buf`, which
// each thread reuses from file to file. Nothing for a file that cannot be
// read, or that is no regular file any more (the walk saw one, but the name
// may since hold a FIFO: it is never waited on).
std::optional<SmallFile> read_small_file(const std::string& path, uint64_t max_bytes, std::string& buf);

// The file as a scan sees it: UTF-8 with bad bytes dropped, line feeds only.
// A view of `bytes` when they are that already, else of `owned`.
std::string_view decode_file(const std::string& bytes, std::string& owned);

// The node the reuse map holds for the file node `current` (id and
// fingerprint set), when its fingerprint still matches: keys the entry lacks
// take the values of `current`. Nothing when there is no match, or when the
// entry's fields have types no scan writes.
std::optional<Node> reused_node(const json::Object* reuse, const Node& current);

// The reuse map an earlier graph file offers: file id -> file node. Empty when
// the file is missing, unreadable, not JSON or not shaped like a graph.
json::Object load_reuse_map(const std::string& graph_path);

// The command: lexscan [--root R] [--out O]. Returns the exit status.
int command_main(int argc, char** argv);

}  // namespace kestrune::lexscan
