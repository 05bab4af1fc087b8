// Packs a retrieval result into the Markdown context an assistant reads first:
// per chosen file its path, summary, symbol outline and the most relevant
// excerpt of its current text, then the chosen relations, all within a token
// budget.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kestrune/base/json.h"

namespace kestrune::ctxpack {

// One token per four characters (code points), rounded up: the usual figure
// for source code, cheap and deterministic. It is subadditive (the estimate of
// a concatenation never exceeds the sum of the parts' estimates), which is
// what lets pack() keep its budget by counting characters.
long long estimate_tokens(std::string_view text);

// File id -> summary written by a person or the assistant.
using Summaries = std::unordered_map<std::string, std::string>;

// Where written summaries live, relative to the project root.
inline constexpr std::string_view SUMMARIES_FILE = ".braid/summaries.json";

// The summaries of `project_root`/.braid/summaries.json (a JSON object from
// file id to text); none when the file does not exist. Entries whose value is
// not text are ignored. A file that exists but cannot be read, or is not a JSON
// object, throws (fs::OsError, json::ParseError or std::runtime_error).
Summaries load_summaries(const std::string& project_root);

struct PackRequest {
  const json::Array& files;    // RetrieveResult.files, best first
  const json::Array& edges;    // RetrieveResult.edges
  const Summaries& summaries;  // written summaries (may be empty)
  const json::Value& graph;    // the graph record the result came from
  std::string project_root;    // where the files' current text is read from
  long long token_budget;
  long long max_files;
  // The question; its terms steer which lines of a file are shown. Optional.
  std::string_view query = {};
  // When set, receives the ids of the files the text shows, in its order.
  std::vector<std::string>* shown = nullptr;
};

// The context text. Never longer than token_budget by estimate_tokens; the
// same inputs (and file contents) always give the same text. Files that cannot
// be read are left out, and so is every entry whose id, joined to the project
// root and resolved, lies outside the resolved root (ids with "..", absolute
// ids, links out of the project): only project files reach the context.
std::string pack(const PackRequest& req);

}  // namespace kestrune::ctxpack
