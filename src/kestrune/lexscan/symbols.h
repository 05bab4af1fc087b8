// Declarations found by regular expressions, per language. Every text taken
// here is decoded text (valid UTF-8), as the scan and the Python binding give it.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrune/lexscan/graph.h"

namespace kestrune::lexscan {

using Lines = std::vector<std::string_view>;

// Typed extractors; extract_symbols_ts/_py in lexscan.h return the same as records.
std::vector<Symbol> symbols_ts(std::string_view content, std::string_view file_path);
std::vector<Symbol> symbols_py(std::string_view content, std::string_view file_path);
std::vector<Symbol> symbols_php(std::string_view content, std::string_view file_path);
std::vector<Symbol> symbols_cs(std::string_view content, std::string_view file_path);
// Dispatch on the lower-cased extension; other extensions give nothing.
std::vector<Symbol> symbols_for_file(std::string_view content, std::string_view file_id,
                                     std::string_view ext);

std::vector<json::Value> extract_symbols_php(std::string_view content, std::string_view file_path);
std::vector<json::Value> extract_symbols_cs(std::string_view content, std::string_view file_path);
std::vector<json::Value> to_records(const std::vector<Symbol>& syms);

// (category, confidence) of a TypeScript/JavaScript name.
std::pair<std::string, std::string> classify_ts(std::string_view name, bool exported);

// Index of the last line of the brace block opening at `start`.
long long find_block_end_ts(const Lines& lines, long long start);
// Index of the last line of the indented body starting at `start`.
long long find_block_end_py(const Lines& lines, long long start);
// First 8 hex digits of the MD5 of lines[start:end + 1] joined with "\n".
std::string body_hash(const Lines& lines, long long start, long long end);

}  // namespace kestrune::lexscan
