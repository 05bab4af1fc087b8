// File keywords and summaries as this scanner computes them. Symbol-name
// keywords and camel-case words are the regex scanner's (lexscan/keywords.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrune::treescan {

// Up to 80 keywords of a whole file text: route registrations, script exports,
// Python declarations, and for Go every function, method, struct and interface name.
std::vector<std::string> extract_keywords(std::string_view content, std::string_view ext);
// At most 250 characters: a description sentence and a "Contains ..." sentence.
std::string make_summary(std::string_view content, std::string_view path, std::string_view ext);

}  // namespace kestrune::treescan
