// Search keywords of names and file texts, and one-line file summaries.
// Every text taken here is decoded text: valid UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrune::lexscan {

// Camel-case words of at least 3 characters, lower-cased, duplicates kept.
std::vector<std::string> split_camel(std::string_view name);
// Up to 10 keywords of a symbol name.
std::vector<std::string> name_keywords(std::string_view name);
// Up to 80 keywords of a file text; `ext` is the lower-cased extension.
std::vector<std::string> extract_keywords(std::string_view content, std::string_view ext);
// At most 250 characters: a description sentence and a "Contains ..." sentence.
std::string make_summary(std::string_view content, std::string_view path, std::string_view ext);

}  // namespace kestrune::lexscan
