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

// Scores decay by half every HALF_LIFE_SECONDS; a future stamp does not decay.
std::vector<Attention> tally(const std::vector<Action>& actions, int64_t now);

}  // namespace kestrune::edit_guard
