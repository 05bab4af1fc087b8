// Search keywords of names and file texts, and one-line file summaries.
// Every text taken here is decoded text: valid UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kestrune::lexscan {

// Ordered, duplicate-free keywords of at least 3 characters, lower-cased,
// "_" trimmed from both ends.
class Keywords {
 public:
  void add(std::string_view word);
  // The name, then its camel-case words.
  void add_name(std::string_view name);
  // The first `limit` keywords, in the order they were added.
  std::vector<std::string> take(size_t limit);

 private:
  std::unordered_set<std::string> seen_;
  std::vector<std::string> tokens_;
};

// Keyword steps the syntax-tree scanner's extract_keywords shares with ours.
// Route registrations (app.get("/users/:id"), ...): the method and the path's segments.
void add_route_keywords(Keywords& kw, std::string_view content);
// Names a script exports (export function f, export { a, b }).
void add_export_keywords(Keywords& kw, std::string_view content);
// Python functions and classes declared at the start of a line, "_" names left out.
void add_python_keywords(Keywords& kw, std::string_view content);

// Camel-case words of at least 3 characters, lower-cased, duplicates kept.
std::vector<std::string> split_camel(std::string_view name);
// Up to 10 keywords of a symbol name.
std::vector<std::string> name_keywords(std::string_view name);
// Up to 80 keywords of a file text; `ext` is the lower-cased extension.
std::vector<std::string> extract_keywords(std::string_view content, std::string_view ext);
// At most 250 characters: a description sentence and a "Contains ..." sentence.
std::string make_summary(std::string_view content, std::string_view path, std::string_view ext);

}  // namespace kestrune::lexscan
