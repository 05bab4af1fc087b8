// The assistant's attention record, chat_action_graph.json: how much it has
// recently read and edited each file. One reader and one tally for everyone
// who scores files, so that the edit guard, `attention show` and any tool
// that reports a score agree to the last bit. Writing the file is
// attention/attention.h.
//
// The file: {"actions": [{"kind": K, "payload": {"file": F, ...}, "ts": N}, ...]}
// where F is relative to the project root (the data directory's parent) or
// absolute, and N whole seconds since the epoch; everything else is kept by
// writers and ignored here.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::attention {

inline constexpr std::string_view FILE_NAME = "chat_action_graph.json";
inline constexpr std::string_view DATA_DIR_NAME = ".braid";

struct KindWeight {
  std::string_view kind;
  int weight;
};
// Any other kind weighs 0 and is ignored.
inline constexpr std::array<KindWeight, 4> KIND_WEIGHT = {{
    {"read", 2},
    {"read_cache_hit", 1},
    {"register_edit", 8},
    {"edit_observation", 5},
}};
int kind_weight(std::string_view kind);

// Scores decay by half every HALF_LIFE_SECONDS; a file at or above THRESHOLD
// has had the assistant's close attention.
inline constexpr int HALF_LIFE_SECONDS = 3600;
inline constexpr double THRESHOLD = 4.0;

// One weighted action on a file.
struct Action {
  int weight;
  bool is_read;  // otherwise an edit
  std::string file;
  int64_t ts;

  bool operator==(const Action&) const = default;
};

// Per-file attention, in the order files first appear among weighted actions.
struct Record {
  std::string file;  // as written in the attention file
  double score = 0.0;
  int64_t reads = 0;
  int64_t edits = 0;
  int64_t last_ts = 0;
};

// The weighted actions of an attention file, or nullopt when the bytes are not
// UTF-8 JSON of the expected shape: readers then behave as if there were no
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

// A future stamp does not decay.
std::vector<Record> tally(const std::vector<Action>& actions, int64_t now);

// ---- for the writer ------------------------------------------------------------

// The file as its writer keeps it: the top level's members as written, and
// each action's text with its stamp, so that a rewrite carries whatever other
// writers put there without understanding it.
struct Layout {
  struct Span {
    size_t begin = 0, end = 0;
  };
  struct Member {
    Span name;   // the JSON string, quotes included
    Span value;  // not kept for "actions": the entries stand for it
  };
  struct Entry {
    Span text;
    int64_t ts = 0;  // as the guard reads it (0 when absent or null)
  };

  // What the spans point into: the bytes read_layout() was given, or, for a
  // file only the document reader could read, `rewritten`.
  std::string_view text;
  std::unique_ptr<const std::string> rewritten;
  std::vector<Member> members;    // in order, "actions" among them once
  std::optional<size_t> actions;  // which member is "actions"
  std::vector<Entry> entries;     // the actions, in order

  std::string_view view(Span s) const { return text.substr(s.begin, s.end - s.begin); }
};

// The layout of an attention file, or nullopt exactly when parse_actions()
// refuses it. Actions the guard ignores (other kinds, no file) are entries
// too. `bytes` must outlive the layout.
std::optional<Layout> read_layout(std::string_view bytes);

}  // namespace kestrune::attention
