// The assistant's attention record: how much it has recently read and edited
// each file, from the actions logged in chat_action_graph.json.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::edit_guard {

// One weighted action on a file.
struct Action {
  int weight;
  bool is_read;  // otherwise an edit
  std::string file;
  int64_t ts;

  bool operator==(const Action&) const = default;
};

// Per-file attention, in the order files first appear among weighted actions.
struct Attention {
  std::string file;  // as written in the attention file
  double score = 0.0;
  int64_t reads = 0;
  int64_t edits = 0;
  int64_t last_ts = 0;
};

// The weighted actions of an attention file, or nullopt when the bytes are not
// UTF-8 JSON of the expected shape: the guard then behaves as if there were no
// file at all rather than guessing.
std::optional<std::vector<Action>> parse_actions(std::string_view bytes);

// parse_actions() in two ways, for the tests that hold them to one answer:
// scan_actions() reads the text in one pass without building a document, and
// handles the shapes writers produce (false, "cannot tell", on anything it is
// not sure of: escapes in the names it reads, a stamp beyond 64 bits, a shape
// the document reader would refuse); read_actions() walks the whole parsed
// document and always knows.
bool scan_actions(std::string_view bytes, std::vector<Action>& out);
std::optional<std::vector<Action>> read_actions(std::string_view bytes);

// Scores decay by half every HALF_LIFE_SECONDS; a future stamp does not decay.
std::vector<Attention> tally(const std::vector<Action>& actions, int64_t now);

}  // namespace kestrune::edit_guard
