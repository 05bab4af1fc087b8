#include "kestrune/ctxpack/excerpt.h"

#include <algorithm>
#include <string>

#include "kestrune/base/text.h"

namespace kestrune::ctxpack {
namespace {

constexpr std::string_view FENCE = "```";
constexpr std::string_view GAP = "⋮";  // one code point
constexpr std::string_view CUT = "…";

size_t digits(size_t n) {
  size_t d = 1;
  while (n >= 10) n /= 10, ++d;
  return d;
}

// A line as shown: trailing blanks dropped, overlong lines cut.
std::string_view shown(std::string_view line, bool& cut) {
  line = text::rstrip(line);
  size_t bytes = text::byte_offset(line, MAX_LINE_CHARS);
  cut = bytes < line.size();
  return line.substr(0, bytes);
}

size_t shown_size(std::string_view line) {
  bool cut = false;
  std::string_view s = shown(line, cut);
  return text::length(s) + (cut ? 1 : 0);
}

// The lines chosen so far and the exact size of their rendering, kept up to
// date line by line so a window can be cut at the last line that fits.
class Selection {
 public:
  Selection(const std::vector<std::string_view>& lines, std::string_view lang)
      : lines_(lines), chosen_(lines.size(), false), width_(digits(lines.size())),
        fixed_(2 * FENCE.size() + text::length(lang) + 1) {}

  size_t size() const {
    return fixed_ + body_ + (runs_ > 1 ? (runs_ - 1) * (text::length(GAP) + 1) : 0);
  }
  bool empty() const { return runs_ == 0; }
  bool has(size_t i) const { return chosen_[i]; }

  void add(size_t i) { flip(i, true); }
  void remove(size_t i) { flip(i, false); }

  std::string render(std::string_view lang) const {
    std::string out(FENCE);
    out += lang;
    out += '\n';
    bool any = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (!chosen_[i]) continue;
      if (any && !chosen_[i - 1]) {
        out += GAP;
        out += '\n';
      }
      any = true;
      std::string num = std::to_string(i + 1);
      out.append(width_ - num.size(), ' ');
      out += num;
      out += "| ";
      bool cut = false;
      out += shown(lines_[i], cut);
      if (cut) out += CUT;
      out += '\n';
    }
    out += FENCE;
    return out;
  }

 private:
  size_t line_size(size_t i) const { return width_ + 2 + shown_size(lines_[i]) + 1; }

  void flip(size_t i, bool on) {
    if (chosen_[i] == on) return;
    bool left = i > 0 && chosen_[i - 1];
    bool right = i + 1 < lines_.size() && chosen_[i + 1];
    // A line joining two runs merges them; an isolated line is a run of its own.
    long delta = (left && right) ? -1 : (!left && !right) ? 1 : 0;
    if (on) {
      runs_ += delta;
      body_ += line_size(i);
    } else {
      runs_ -= delta;
      body_ -= line_size(i);
    }
    chosen_[i] = on;
  }

  const std::vector<std::string_view>& lines_;
  std::vector<bool> chosen_;
  size_t width_;
  size_t fixed_;
  size_t body_ = 0;
  long runs_ = 0;
};

}  // namespace

SourceText::SourceText(std::string text) : text_(std::make_unique<const std::string>(std::move(text))) {
  std::string_view s = *text_;
  size_t start = 0;
  while (start < s.size()) {
    size_t nl = s.find('\n', start);
    if (nl == std::string_view::npos) {
      lines_.push_back(s.substr(start));
      break;
    }
    lines_.push_back(s.substr(start, nl - start));
    start = nl + 1;
  }
}

std::vector<Span> choose_windows(const std::vector<std::string_view>& lines, const Span* focus,
                                 const std::vector<SymbolInfo>& symbols,
                                 const std::vector<std::string>& terms) {
  std::vector<Span> out;
  const size_t n = lines.size();
  if (n == 0) return out;
  auto push = [&](Span s, size_t max_lines) {
    if (s.first >= n) return;
    if (s.last < s.first) s.last = s.first;
    s.last = std::min({s.last, n - 1, s.first + max_lines - 1});
    out.push_back(s);
  };
  auto hits = [&](std::string_view lowered) {
    size_t c = 0;
    for (const std::string& t : terms) c += text::contains(lowered, t) ? 1 : 0;
    return c;
  };

  if (focus) push(*focus, MAX_SYMBOL_LINES);

  // Symbols that carry query terms, most terms first.
  std::vector<std::pair<size_t, const SymbolInfo*>> named;
  for (const SymbolInfo& s : symbols) {
    if (focus && s.lines.first == focus->first && s.lines.last == focus->last) continue;
    if (size_t c = hits(s.match_text)) named.emplace_back(c, &s);
  }
  std::stable_sort(named.begin(), named.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first > b.first;
    return a.second->lines.first < b.second->lines.first;
  });
  for (const auto& [c, s] : named) push(s->lines, MAX_SYMBOL_LINES);

  // Lines that name query terms, with a little context.
  if (!terms.empty()) {
    std::vector<std::pair<size_t, size_t>> hit_lines;  // (terms named, line)
    for (size_t i = 0; i < n; ++i)
      if (size_t c = hits(text::lower(lines[i]))) hit_lines.emplace_back(c, i);
    std::stable_sort(hit_lines.begin(), hit_lines.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    if (hit_lines.size() > MAX_HITS) hit_lines.resize(MAX_HITS);
    for (const auto& [c, i] : hit_lines)
      push({i >= HIT_RADIUS ? i - HIT_RADIUS : 0, i + HIT_RADIUS}, 2 * HIT_RADIUS + 1);
  }

  if (n <= WHOLE_FILE_LINES)
    push({0, n - 1}, n);
  else
    push({0, HEAD_LINES - 1}, HEAD_LINES);
  return out;
}

std::string render_excerpt(const std::vector<std::string_view>& lines,
                           const std::vector<Span>& windows, std::string_view lang,
                           size_t capacity) {
  Selection sel(lines, lang);
  std::vector<size_t> added;
  for (const Span& w : windows) {
    added.clear();
    for (size_t i = w.first; i <= w.last; ++i)
      if (!sel.has(i)) sel.add(i), added.push_back(i);
    if (sel.size() <= capacity) continue;
    // Too big whole: take back this window and keep the lines of it that fit.
    for (auto it = added.rbegin(); it != added.rend(); ++it) sel.remove(*it);
    for (size_t i : added) {
      sel.add(i);
      if (sel.size() > capacity) {
        sel.remove(i);
        break;
      }
    }
    break;
  }
  return sel.empty() ? std::string() : sel.render(lang);
}

size_t excerpt_size(const std::vector<std::string_view>& lines, const std::vector<Span>& windows,
                    std::string_view lang) {
  Selection sel(lines, lang);
  for (const Span& w : windows)
    for (size_t i = w.first; i <= w.last; ++i) sel.add(i);
  return sel.size();
}

}  // namespace kestrune::ctxpack
