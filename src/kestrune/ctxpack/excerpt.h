// Choosing and rendering the lines of one file that the context shows.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::ctxpack {

// Lines first..last (0-based, inclusive).
struct Span {
  size_t first = 0;
  size_t last = 0;
};

// A file's text and its lines (split at "\n", no final empty line). The lines
// view the text, which has a heap block of its own: moving a SourceText (as a
// growing vector of them does) never moves the text, so the views stay valid.
// It cannot be copied, which would leave the copy's lines viewing the original.
class SourceText {
 public:
  SourceText() = default;
  explicit SourceText(std::string text);
  const std::vector<std::string_view>& lines() const { return lines_; }

 private:
  std::unique_ptr<const std::string> text_;
  std::vector<std::string_view> lines_;
};

// A symbol of the file as the outline and the excerpt see it.
struct SymbolInfo {
  std::string name;
  std::string symbol_type;
  Span lines;
  std::string match_text;  // name and keywords, lower-cased: what query terms are looked for in
};

// Lowest-priority window size and the largest file shown whole when budget allows.
inline constexpr size_t HEAD_LINES = 24;
inline constexpr size_t WHOLE_FILE_LINES = 120;
// A symbol body longer than this shows its first lines only.
inline constexpr size_t MAX_SYMBOL_LINES = 60;
// Lines of context either side of a line that names a query term.
inline constexpr size_t HIT_RADIUS = 2;
inline constexpr size_t MAX_HITS = 16;
// Longer lines (minified code, data) are cut and end in "…".
inline constexpr size_t MAX_LINE_CHARS = 240;

// The windows worth showing, most relevant first: the retrieved symbol, the
// symbols whose names or keywords carry query terms, the lines that name query
// terms, then the whole file when it is small or its head otherwise. Spans are
// clipped to the file; those that start past its end (a stale graph) are dropped.
std::vector<Span> choose_windows(const std::vector<std::string_view>& lines, const Span* focus,
                                 const std::vector<SymbolInfo>& symbols,
                                 const std::vector<std::string>& terms);

// A fenced block of numbered lines (one-based) from the windows in order, each
// window whole while it fits in `capacity` characters (code points), the first
// that does not fit cut to the lines that do; nothing after it. Gaps between
// shown runs are marked with "⋮". Returns "" when not even one line fits.
std::string render_excerpt(const std::vector<std::string_view>& lines,
                           const std::vector<Span>& windows, std::string_view lang,
                           size_t capacity);

// The code-point count of the block render_excerpt() would give with unlimited capacity.
size_t excerpt_size(const std::vector<std::string_view>& lines, const std::vector<Span>& windows,
                    std::string_view lang);

}  // namespace kestrune::ctxpack
