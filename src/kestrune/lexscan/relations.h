// What a file points at: imports, requires and mentions of other files.
// The text is decoded text: valid UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kestrune/lexscan/graph.h"

namespace kestrune::lexscan {

// What ([A-Za-z0-9_\-\/]+\.(go|py|ts|tsx|js|jsx|swift|md|json|yaml|yml)) finds,
// match by match, without the regex's retries from every character of a word.
std::vector<std::string_view> file_mentions(std::string_view text);

// The import and require passes both scanners share (quoted Go-style imports,
// ES imports with a from clause, require calls, Python import and from-import
// lines), appended to `edges` in that order.
void import_relations(std::string_view text, const std::string& from_id, std::vector<Edge>& edges);

// Edges from the file `from_id` whose extension, as written, is `ext`.
std::vector<Edge> relations_of(std::string_view text, const std::string& from_id, std::string_view ext);
// The same for a walked path: its id is rel(path, root).
std::vector<Edge> parse_relations(std::string_view path, std::string_view text, std::string_view root);

}  // namespace kestrune::lexscan
