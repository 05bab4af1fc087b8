// Regular expressions in Python `re` syntax and semantics, over PCRE2 (UTF, UCP, JIT).
//
// A pattern is translated once where Python and PCRE2 differ (\s also matches
// \x1c-\x1f, \Z means the very end, ...), compiled once and JIT-compiled.
// Subjects are UTF-8; every position is a byte offset into the subject. A
// subject or pattern holding bytes that are not UTF-8 (a name from the file
// system) is matched as Python matches the str os.fsdecode makes of it: each
// such byte is a lone surrogate. A compiled Regex is immutable and may be
// shared between threads.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::re {

enum Flags : unsigned {
  NONE = 0,
  I = 1u << 0,  // re.IGNORECASE (Unicode case folding)
  M = 1u << 1,  // re.MULTILINE: ^ after every "\n" (also a final one), $ before every "\n"
  S = 1u << 2,  // re.DOTALL
};

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One match: byte spans of the whole match (group 0) and of each group.
class Match {
 public:
  size_t start(int g = 0) const { return spans_[g].first; }
  size_t end(int g = 0) const { return spans_[g].second; }
  // False for a group that did not take part (Python returns None for it).
  bool matched(int g) const { return spans_[g].first != npos; }
  // The group's text, or "" when it did not take part.
  std::string_view group(int g = 0) const;
  // The group's text, or nullopt when it did not take part.
  std::optional<std::string_view> group_opt(int g) const;
  int groups() const { return static_cast<int>(spans_.size()) - 1; }

  static constexpr size_t npos = static_cast<size_t>(-1);
  Match(std::string_view subject, std::vector<std::pair<size_t, size_t>> spans)
      : subject_(subject), spans_(std::move(spans)) {}

 private:
  std::string_view subject_;
  std::vector<std::pair<size_t, size_t>> spans_;
};

// A subject the caller knows to be valid UTF-8: decoded text, or a piece of
// it cut at character boundaries. Matching it skips PCRE2's check of the whole
// subject, which otherwise runs on every call and can cost more than the
// search itself. Invalid UTF-8 here is undefined behaviour; a start position
// inside a character is still refused.
struct Valid {
  explicit Valid(std::string_view s) : text(s) {}
  std::string_view text;
};

class Regex {
 public:
  // Throws re::Error on a pattern PCRE2 rejects.
  explicit Regex(std::string_view pattern, unsigned flags = NONE);
  ~Regex();
  Regex(Regex&&) noexcept;
  Regex& operator=(Regex&&) noexcept;

  // re.search from byte offset `pos`.
  std::optional<Match> search(std::string_view s, size_t pos = 0) const;
  // re.match: anchored at `pos` only.
  std::optional<Match> match(std::string_view s, size_t pos = 0) const;
  // re.fullmatch.
  std::optional<Match> fullmatch(std::string_view s) const;
  // re.finditer: non-overlapping matches left to right, empty matches
  // included with Python's rules. `f` returns false to stop early.
  void finditer(std::string_view s, const std::function<bool(const Match&)>& f) const;
  std::vector<Match> findall(std::string_view s) const;
  // search, match and finditer over a subject known to be valid UTF-8.
  std::optional<Match> search(Valid s, size_t pos = 0) const;
  std::optional<Match> match(Valid s, size_t pos = 0) const;
  void finditer(Valid s, const std::function<bool(const Match&)>& f) const;
  bool contains(std::string_view s) const { return search(s).has_value(); }
  // re.sub with a template: \1..\99, \g<n>, and the escapes \n \t \\ ; count 0 = all.
  std::string sub(std::string_view repl, std::string_view s, size_t count = 0) const;
  // re.sub with a function.
  std::string sub(const std::function<std::string(const Match&)>& repl, std::string_view s,
                  size_t count = 0) const;
  // re.split: pieces between matches, group texts included as Python does
  // (a group that did not take part contributes nullopt); maxsplit 0 = all.
  std::vector<std::optional<std::string>> split(std::string_view s, size_t maxsplit = 0) const;
  // re.split for patterns without groups: just the pieces.
  std::vector<std::string> split_plain(std::string_view s, size_t maxsplit = 0) const;

  int groups() const;
  const std::string& pattern() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// re.escape
std::string escape(std::string_view s);

}  // namespace kestrune::re
