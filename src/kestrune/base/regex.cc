#include "kestrune/base/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kestrune/base/text.h"

namespace kestrune::re {

namespace {

// Python's whitespace (str.isspace), which \s matches in a str pattern, and
// its complement. Spelled out because PCRE2's \s lacks \x1c-\x1f and \x85.
constexpr std::string_view kSpace =
    "\\t-\\r\\x1c-\\x20\\x{85}\\x{a0}\\x{1680}\\x{2000}-\\x{200a}\\x{2028}\\x{2029}\\x{202f}\\x{205f}\\x{3000}";
constexpr std::string_view kNonSpace =
    "\\x00-\\x08\\x0e-\\x1b\\x21-\\x{84}\\x{86}-\\x{9f}\\x{a1}-\\x{167f}\\x{1681}-\\x{1fff}\\x{200b}-\\x{2027}"
    "\\x{202a}-\\x{202e}\\x{2030}-\\x{205e}\\x{2060}-\\x{2fff}\\x{3001}-\\x{10ffff}";
// The same under re.ASCII.
constexpr std::string_view kAsciiSpace = "\\t-\\r\\x20";
constexpr std::string_view kAsciiNonSpace = "\\x00-\\x08\\x0e-\\x1f\\x{21}-\\x{10ffff}";

bool is_hex(char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_letter(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// A byte that cannot be decoded (a file name's, an argument's) stands for the
// lone surrogate U+DC00 plus the byte, as Python's surrogateescape makes it.
// PCRE2 reads only valid UTF-8, so such a byte is shown to it as U+10FF00 plus
// the byte: a private-use character, which like a lone surrogate is matched by
// '.', negated classes, \W, \S and \D, by no \w, \s, \d, and folds to nothing.
// (A genuine U+10FF80..U+10FFFF in the same text as such a byte is the one
// thing this cannot tell apart from it.)
constexpr char32_t kEscapeBase = 0x10FF00;

// The escaped byte at s[i] (a character boundary), or -1 when a valid
// character starts there.
int undecodable_at(std::string_view s, size_t i) {
  if (static_cast<unsigned char>(s[i]) < 0x80) return -1;
  const char32_t c = text::next(s, i);
  return c >= 0xDC80 && c <= 0xDCFF ? static_cast<int>(c & 0xFF) : -1;
}

void put_escaped_byte(std::string& out, int b) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "\\x{%x}", static_cast<unsigned>(kEscapeBase | static_cast<unsigned>(b)));
  out += hex;
}

// Copies the non-ASCII character at p[i] into a translated pattern, an
// undecodable byte as its stand-in; returns the offset past it.
size_t copy_character(std::string& out, std::string_view p, size_t i) {
  if (const int b = undecodable_at(p, i); b >= 0) {
    put_escaped_byte(out, b);
    return i + 1;
  }
  size_t j = i;
  text::next(p, j);
  out.append(p.substr(i, j - i));
  return j;
}

struct Translated {
  std::string pattern;
  bool ascii = false;
};

// Rewrites a Python pattern into PCRE2 syntax where the two read the same
// text differently. Everything else is passed through untouched, so PCRE2's
// own errors still point at the user's mistakes.
Translated translate(std::string_view p) {
  Translated t;
  std::string& out = t.pattern;
  out.reserve(p.size() + 16);
  bool verbose = false;
  bool in_class = false;
  size_t class_first = 0;  // index where a ']' is still a literal
  size_t i = 0;

  // Global inline flags lead the pattern: (?aimsux).
  while (p.substr(i).starts_with("(?")) {
    size_t j = i + 2;
    std::string letters;
    while (j < p.size() && std::strchr("aiLmsux", p[j]) && p[j] != '\0') letters += p[j++];
    if (letters.empty() || j >= p.size() || p[j] != ')') break;
    std::string kept;
    for (char f : letters) {
      if (f == 'L') throw Error("bad inline flag: cannot use 'L' flag with a str pattern");
      if (f == 'a') t.ascii = true;
      if (f == 'x') verbose = true;
      if (f != 'a' && f != 'u') kept += f;
    }
    if (!kept.empty()) out += "(?" + kept + ")";
    i = j + 1;
  }

  while (i < p.size()) {
    const char c = p[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      i = copy_character(out, p, i);
      continue;
    }
    if (c == '\\') {
      if (i + 1 >= p.size()) throw Error("bad escape (end of pattern) at position " + std::to_string(i));
      const char d = p[i + 1];
      i += 2;
      switch (d) {
        case 's':
          if (in_class) {
            out += t.ascii ? kAsciiSpace : kSpace;
          } else {
            out += '[';
            out += t.ascii ? kAsciiSpace : kSpace;
            out += ']';
          }
          break;
        case 'S':
          if (in_class) {
            out += t.ascii ? kAsciiNonSpace : kNonSpace;
          } else {
            out += "[^";
            out += t.ascii ? kAsciiSpace : kSpace;
            out += ']';
          }
          break;
        case 'Z':
          if (in_class) throw Error("bad escape \\Z at position " + std::to_string(i - 2));
          out += "\\z";
          break;
        case 'B':
          if (in_class) throw Error("bad escape \\B at position " + std::to_string(i - 2));
          // Python's \B never matches in an empty subject.
          out += "(?!\\A\\z)\\B";
          break;
        case 'v':  // a vertical tab in Python, a class in PCRE2
          out += "\\x0b";
          break;
        case 'u':
        case 'U': {
          const size_t n = d == 'u' ? 4 : 8;
          if (i + n > p.size() || !std::all_of(p.begin() + i, p.begin() + i + n, is_hex))
            throw Error(std::string("incomplete escape \\") + d + " at position " + std::to_string(i - 2));
          const std::string_view hex = p.substr(i, n);
          const unsigned long cp = std::stoul(std::string(hex), nullptr, 16);
          if (cp > 0x10FFFF)
            throw Error("bad escape \\U" + std::string(hex) + " at position " + std::to_string(i - 2));
          i += n;
          if (cp >= 0xDC80 && cp <= 0xDCFF) {
            put_escaped_byte(out, static_cast<int>(cp & 0xFF));
            break;
          }
          out += "\\x{";
          out += hex;
          out += '}';
          break;
        }
        case 'N':
          throw Error("\\N{...} escapes are not supported at position " + std::to_string(i - 2));
        default:
          // Letters Python does not know (\K, \G, \p, \Q, ...) would change meaning under PCRE2.
          if (is_ascii_letter(d) && !std::strchr(in_class ? "abdDfnrtwWx" : "AabdDfnrtwWx", d))
            throw Error(std::string("bad escape \\") + d + " at position " + std::to_string(i - 2));
          if (static_cast<unsigned char>(d) >= 0x80) {
            i = copy_character(out, p, i - 1);  // an escaped character is that character
            break;
          }
          out += '\\';
          out += d;
      }
      continue;
    }
    if (in_class) {
      if (c == ']' && i != class_first) {
        in_class = false;
        out += ']';
      } else if (c == ']' || c == '[') {
        out += '\\';  // a literal to Python; '[' might start a POSIX class to PCRE2
        out += c;
      } else {
        out += c;
      }
      ++i;
      continue;
    }
    if (c == '[') {
      in_class = true;
      out += '[';
      ++i;
      if (i < p.size() && p[i] == '^') {
        out += '^';
        ++i;
      }
      class_first = i;
      continue;
    }
    if (c == '{' && i + 1 < p.size() && p[i + 1] == ',') {
      // Python reads {,n} as {0,n} and {,} as {0,}.
      size_t j = i + 2;
      while (j < p.size() && is_digit(p[j])) ++j;
      if (j < p.size() && p[j] == '}') {
        out += "{0";
        ++i;
        continue;
      }
    }
    if (c == '(' && p.substr(i).starts_with("(*")) {
      // PCRE2's verbs and start options; Python has nothing to repeat here.
      throw Error("nothing to repeat at position " + std::to_string(i + 1));
    }
    if (c == '(' && p.substr(i).starts_with("(?#")) {
      const size_t close = p.find(')', i);
      if (close == std::string_view::npos) throw Error("missing ), unterminated comment");
      i = close + 1;
      continue;
    }
    if (c == '(' && p.substr(i).starts_with("(?")) {
      // Scoped flags (?i:...) / (?-i:...): drop 'u', refuse what PCRE2 cannot do.
      size_t j = i + 2;
      while (j < p.size() && (std::strchr("aiLmsux-", p[j]) && p[j] != '\0')) ++j;
      if (j > i + 2 && j < p.size() && (p[j] == ':' || p[j] == ')')) {
        std::string kept;
        for (size_t k = i + 2; k < j; ++k) {
          if (p[k] == 'a' || p[k] == 'L')
            throw Error(std::string("flag '") + p[k] + "' is not supported inside the pattern");
          if (p[k] != 'u') kept += p[k];
        }
        if (p[j] == ')' && (kept.empty() || kept == "-")) {
          i = j + 1;
          continue;
        }
        out += "(?";
        out += kept == "-" ? "" : kept;
        i = j;
        continue;
      }
    }
    if (verbose && c == '#') {
      const size_t nl = p.find('\n', i);
      const size_t end = nl == std::string_view::npos ? p.size() : nl;
      i = end;
      continue;
    }
    out += c;
    ++i;
  }
  return t;
}

// Patterns are JIT-compiled, except in a build for commands started once per
// call (KESTRUNE_REGEX_INTERPRETED): there each pattern is compiled once and
// matched against a short text, and making machine code costs more than it
// saves.
#ifdef KESTRUNE_REGEX_INTERPRETED
constexpr bool kJit = false;
#else
constexpr bool kJit = true;
#endif

// Per-thread match scratch: the match data grows to the largest group count
// seen, and the JIT stack lets deep patterns run over large subjects.
struct Scratch {
  pcre2_match_data* data = nullptr;
  uint32_t pairs = 0;
  pcre2_match_context* context = nullptr;
  pcre2_jit_stack* jit_stack = nullptr;

  Scratch() {
    context = pcre2_match_context_create(nullptr);
    if (kJit) jit_stack = pcre2_jit_stack_create(32 * 1024, 8 * 1024 * 1024, nullptr);
    if (context && jit_stack) pcre2_jit_stack_assign(context, nullptr, jit_stack);
  }
  ~Scratch() {
    pcre2_match_data_free(data);
    pcre2_jit_stack_free(jit_stack);
    pcre2_match_context_free(context);
  }
  pcre2_match_data* get(uint32_t need) {
    if (need > pairs) {
      pcre2_match_data_free(data);
      data = pcre2_match_data_create(std::max<uint32_t>(need, 16), nullptr);
      if (!data) throw std::bad_alloc();
      pairs = std::max<uint32_t>(need, 16);
    }
    return data;
  }
};

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

std::string pcre2_message(int code) {
  PCRE2_UCHAR buf[256];
  if (pcre2_get_error_message(code, buf, sizeof buf) < 0) return "error " + std::to_string(code);
  return reinterpret_cast<const char*>(buf);
}

struct Code {
  pcre2_code* code = nullptr;
  ~Code() { pcre2_code_free(code); }
};

// A subject with undecodable bytes as PCRE2 is shown it: each such byte
// written as the character kEscapeBase plus the byte (four bytes in place of
// one), and the offsets of those bytes to map positions back and forth.
struct Escaped {
  std::string text;
  std::vector<size_t> bytes;  // offsets in the original, ascending

  explicit Escaped(std::string_view s) {
    text.reserve(s.size() + 16);
    size_t i = 0, copied = 0;
    while (i < s.size()) {
      const size_t at = i;
      const char32_t c = text::next(s, i);
      if (c < 0xDC80 || c > 0xDCFF) continue;
      text.append(s.substr(copied, at - copied));
      text::append(text, kEscapeBase | (c & 0xFF));
      bytes.push_back(at);
      copied = i;
    }
    text.append(s.substr(copied));
  }

  size_t to_escaped(size_t pos) const {
    return pos + 3 * static_cast<size_t>(std::lower_bound(bytes.begin(), bytes.end(), pos) - bytes.begin());
  }
  // `pos` is on a character boundary of `text`.
  size_t to_original(size_t pos) const {
    // Escaped byte k starts at bytes[k] + 3k in `text`; count those before pos.
    size_t lo = 0, hi = bytes.size();
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (bytes[mid] + 3 * mid < pos)
        lo = mid + 1;
      else
        hi = mid;
    }
    return pos - 3 * lo;
  }
};

}  // namespace

struct Regex::Impl {
  std::string pattern;
  std::string translated;
  uint32_t options = 0;
  int groups = 0;
  Code search;
  // Anchored variants for match()/fullmatch(), compiled on first use: JIT code
  // only honours anchoring that was fixed at compile time.
  mutable std::once_flag anchored_once, full_once;
  mutable Code anchored, full;

  pcre2_code* compile(uint32_t extra) const {
    pcre2_compile_context* cc = pcre2_compile_context_create(nullptr);
    if (!cc) throw std::bad_alloc();
    pcre2_set_newline(cc, PCRE2_NEWLINE_LF);
    int err = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated.data()), translated.size(),
                                     options | extra, &err, &offset, cc);
    pcre2_compile_context_free(cc);
    if (!code) throw Error(pcre2_message(err) + " in pattern '" + pattern + "'");
    // Without JIT, pcre2_match interprets the same code.
    if (kJit) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    return code;
  }

  const pcre2_code* anchored_code() const {
    std::call_once(anchored_once, [&] { anchored.code = compile(PCRE2_ANCHORED); });
    return anchored.code;
  }
  const pcre2_code* full_code() const {
    std::call_once(full_once, [&] { full.code = compile(PCRE2_ANCHORED | PCRE2_ENDANCHORED); });
    return full.code;
  }

  // One pcre2_match; the spans are copied out before returning, so callbacks
  // may run other regexes on this thread between calls. A subject PCRE2
  // refuses as invalid UTF-8 is matched through its escaped copy, which is
  // made here (once: `escaped` keeps it for the next calls of a walk) or
  // taken from `escaped` when a call before made it.
  std::optional<Match> exec(const pcre2_code* code, std::string_view s, size_t pos, uint32_t opts,
                            std::optional<Escaped>* escaped = nullptr) const {
    if (pos > s.size()) return std::nullopt;
    if (escaped && *escaped) return exec_escaped(code, s, **escaped, pos, opts);
    Scratch& sc = scratch();
    pcre2_match_data* md = sc.get(static_cast<uint32_t>(groups) + 1);
    int rc = run(code, s, pos, opts, md);
    if (rc <= PCRE2_ERROR_UTF8_ERR1 && rc >= PCRE2_ERROR_UTF8_ERR21) {
      std::optional<Escaped> own;
      std::optional<Escaped>& e = escaped ? *escaped : own;
      e.emplace(s);
      return exec_escaped(code, s, *e, pos, opts);
    }
    if (rc == PCRE2_ERROR_NOMATCH) return std::nullopt;
    if (rc < 0) fail(rc);
    std::vector<std::pair<size_t, size_t>> spans = spans_of(md, rc);
    return Match(s, std::move(spans));
  }

  std::optional<Match> exec_escaped(const pcre2_code* code, std::string_view s, const Escaped& e, size_t pos,
                                    uint32_t opts) const {
    const size_t at = e.to_escaped(pos);
    if (at < e.text.size() && (static_cast<unsigned char>(e.text[at]) & 0xC0) == 0x80) fail(PCRE2_ERROR_BADUTFOFFSET);
    Scratch& sc = scratch();
    pcre2_match_data* md = sc.get(static_cast<uint32_t>(groups) + 1);
    const int rc = run(code, e.text, at, opts | PCRE2_NO_UTF_CHECK, md);
    if (rc == PCRE2_ERROR_NOMATCH) return std::nullopt;
    if (rc < 0) fail(rc);
    std::vector<std::pair<size_t, size_t>> spans = spans_of(md, rc);
    for (auto& [a, b] : spans) {
      if (a == Match::npos) continue;
      a = e.to_original(a);
      b = e.to_original(b);
    }
    return Match(s, std::move(spans));
  }

  int run(const pcre2_code* code, std::string_view s, size_t pos, uint32_t opts, pcre2_match_data* md) const {
    const auto subject = reinterpret_cast<PCRE2_SPTR>(s.data());
    const int rc = pcre2_match(code, subject, s.size(), pos, opts, md, scratch().context);
    if (rc != PCRE2_ERROR_JIT_STACKLIMIT) return rc;
    return pcre2_match(code, subject, s.size(), pos, opts | PCRE2_NO_JIT, md, scratch().context);
  }

  std::vector<std::pair<size_t, size_t>> spans_of(pcre2_match_data* md, int rc) const {
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
    std::vector<std::pair<size_t, size_t>> spans(static_cast<size_t>(groups) + 1, {Match::npos, Match::npos});
    for (int g = 0; g < rc && g <= groups; ++g) {
      if (ov[2 * g] != PCRE2_UNSET) spans[g] = {ov[2 * g], ov[2 * g + 1]};
    }
    return spans;
  }

  [[noreturn]] void fail(int rc) const { throw Error(pcre2_message(rc) + " (pattern '" + pattern + "')"); }

  // re.finditer's walk. After an empty match the next one may start at the
  // same place only if it is not empty (Python 3.7+).
  // `valid`: the subject is known to be valid UTF-8, so not even the first
  // call checks it.
  template <class F>
  void each(std::string_view s, F&& f, bool valid = false) const {
    size_t pos = 0;
    uint32_t opts = 0;
    bool checked = valid;
    std::optional<Escaped> escaped;
    while (pos <= s.size()) {
      auto m = exec(search.code, s, pos, opts | (checked ? PCRE2_NO_UTF_CHECK : 0), &escaped);
      checked = true;
      if (!m) return;
      const size_t end = m->end();
      const bool empty = m->start() == end;
      if (!f(*m)) return;  // f may move the match away
      pos = end;
      opts = empty ? PCRE2_NOTEMPTY_ATSTART : 0;
    }
  }
};

std::string_view Match::group(int g) const {
  if (g < 0 || static_cast<size_t>(g) >= spans_.size()) throw std::out_of_range("no such group");
  const auto [a, b] = spans_[g];
  return a == npos ? std::string_view() : subject_.substr(a, b - a);
}

std::optional<std::string_view> Match::group_opt(int g) const {
  const std::string_view text = group(g);  // checks g
  if (!matched(g)) return std::nullopt;
  return text;
}

Regex::Regex(std::string_view pattern, unsigned flags) : impl_(std::make_unique<Impl>()) {
  impl_->pattern = std::string(pattern);
  Translated t = translate(pattern);
  impl_->translated = std::move(t.pattern);
  // ALT_CIRCUMFLEX: under MULTILINE '^' also matches after a final "\n", as in Python.
  uint32_t options = PCRE2_UTF | PCRE2_ALT_CIRCUMFLEX;
  if (!t.ascii) options |= PCRE2_UCP;
  if (flags & I) options |= PCRE2_CASELESS;
  if (flags & M) options |= PCRE2_MULTILINE;
  if (flags & S) options |= PCRE2_DOTALL;
  impl_->options = options;
  impl_->search.code = impl_->compile(0);
  uint32_t n = 0;
  pcre2_pattern_info(impl_->search.code, PCRE2_INFO_CAPTURECOUNT, &n);
  impl_->groups = static_cast<int>(n);
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

std::optional<Match> Regex::search(std::string_view s, size_t pos) const {
  return impl_->exec(impl_->search.code, s, pos, 0);
}

std::optional<Match> Regex::match(std::string_view s, size_t pos) const {
  return impl_->exec(impl_->anchored_code(), s, pos, 0);
}

std::optional<Match> Regex::fullmatch(std::string_view s) const {
  return impl_->exec(impl_->full_code(), s, 0, 0);
}

void Regex::finditer(std::string_view s, const std::function<bool(const Match&)>& f) const {
  impl_->each(s, f);
}

namespace {

// What PCRE2 would have said of a start inside a character, had it checked.
void check_start(const Valid& s, size_t pos, const std::string& pattern) {
  assert(text::is_valid_utf8(s.text));
  if (pos < s.text.size() && (static_cast<unsigned char>(s.text[pos]) & 0xC0) == 0x80)
    throw Error(pcre2_message(PCRE2_ERROR_BADUTFOFFSET) + " (pattern '" + pattern + "')");
}

}  // namespace

std::optional<Match> Regex::search(Valid s, size_t pos) const {
  check_start(s, pos, impl_->pattern);
  return impl_->exec(impl_->search.code, s.text, pos, PCRE2_NO_UTF_CHECK);
}

std::optional<Match> Regex::match(Valid s, size_t pos) const {
  check_start(s, pos, impl_->pattern);
  return impl_->exec(impl_->anchored_code(), s.text, pos, PCRE2_NO_UTF_CHECK);
}

void Regex::finditer(Valid s, const std::function<bool(const Match&)>& f) const {
  check_start(s, 0, impl_->pattern);
  impl_->each(s.text, f, true);
}

std::vector<Match> Regex::findall(std::string_view s) const {
  std::vector<Match> out;
  impl_->each(s, [&](Match& m) {
    out.push_back(std::move(m));
    return true;
  });
  return out;
}

namespace {

// A parsed re.sub template: literal text and group references, in order.
struct Template {
  struct Piece {
    std::string text;
    int group = -1;  // -1: text
  };
  std::vector<Piece> pieces;

  void literal(std::string_view s) {
    if (pieces.empty() || pieces.back().group >= 0) pieces.push_back({});
    pieces.back().text += s;
  }
  void group(int g) { pieces.push_back({{}, g}); }
};

Template parse_template(std::string_view repl, const pcre2_code* code, int groups) {
  Template t;
  const auto bad_group = [&](std::string_view what, size_t at) {
    throw Error("invalid group reference " + std::string(what) + " at position " + std::to_string(at));
  };
  size_t i = 0;
  while (i < repl.size()) {
    const size_t slash = repl.find('\\', i);
    if (slash == std::string_view::npos) {
      t.literal(repl.substr(i));
      break;
    }
    t.literal(repl.substr(i, slash - i));
    i = slash + 1;
    if (i >= repl.size()) throw Error("bad escape (end of pattern) at position " + std::to_string(slash));
    const char c = repl[i++];
    if (c == 'g') {
      if (i >= repl.size() || repl[i] != '<') throw Error("missing < at position " + std::to_string(i));
      const size_t close = repl.find('>', i + 1);
      if (close == std::string_view::npos) throw Error("missing >, unterminated name at position " + std::to_string(i + 1));
      const std::string name(repl.substr(i + 1, close - i - 1));
      if (name.empty()) throw Error("missing group name at position " + std::to_string(i + 1));
      int g;
      if (std::all_of(name.begin(), name.end(), is_digit)) {
        g = name.size() > 9 ? groups + 1 : std::stoi(name);
      } else {
        g = pcre2_substring_number_from_name(code, reinterpret_cast<PCRE2_SPTR>(name.c_str()));
        if (g < 0) throw Error("unknown group name '" + name + "'");
      }
      if (g > groups) bad_group(name, i + 1);
      t.group(g);
      i = close + 1;
    } else if (c == '0') {
      // Octal: \0, \0o, \0oo
      int v = 0;
      for (int k = 0; k < 2 && i < repl.size() && repl[i] >= '0' && repl[i] <= '7'; ++k) v = v * 8 + (repl[i++] - '0');
      std::string ch;
      if (v < 0x80) {
        ch += static_cast<char>(v);
      } else {
        ch += static_cast<char>(0xC0 | (v >> 6));
        ch += static_cast<char>(0x80 | (v & 0x3F));
      }
      t.literal(ch);
    } else if (is_digit(c)) {
      const size_t start = i - 1;
      int g = c - '0';
      if (i < repl.size() && is_digit(repl[i])) {
        const char d = repl[i++];
        if (c <= '7' && d <= '7' && i < repl.size() && repl[i] >= '0' && repl[i] <= '7') {
          const int v = (c - '0') * 64 + (d - '0') * 8 + (repl[i++] - '0');
          if (v > 0377) throw Error("octal escape value \\" + std::string(repl.substr(start, 3)) + " outside of range 0-0o377");
          std::string ch;
          if (v < 0x80) {
            ch += static_cast<char>(v);
          } else {
            ch += static_cast<char>(0xC0 | (v >> 6));
            ch += static_cast<char>(0x80 | (v & 0x3F));
          }
          t.literal(ch);
          continue;
        }
        g = g * 10 + (d - '0');
      }
      if (g > groups) bad_group(std::to_string(g), start);
      t.group(g);
    } else {
      switch (c) {
        case 'a': t.literal("\a"); break;
        case 'b': t.literal("\b"); break;
        case 'f': t.literal("\f"); break;
        case 'n': t.literal("\n"); break;
        case 'r': t.literal("\r"); break;
        case 't': t.literal("\t"); break;
        case 'v': t.literal("\v"); break;
        case '\\': t.literal("\\"); break;
        default:
          if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
            throw Error(std::string("bad escape \\") + c + " at position " + std::to_string(i - 2));
          t.literal(repl.substr(i - 2, 2));  // an unknown escape stays as written
      }
    }
  }
  return t;
}

}  // namespace

std::string Regex::sub(std::string_view repl, std::string_view s, size_t count) const {
  const Template t = parse_template(repl, impl_->search.code, impl_->groups);
  return sub(
      [&t](const Match& m) {
        std::string out;
        for (const auto& p : t.pieces) {
          if (p.group < 0)
            out += p.text;
          else
            out += m.group(p.group);
        }
        return out;
      },
      s, count);
}

std::string Regex::sub(const std::function<std::string(const Match&)>& repl, std::string_view s,
                       size_t count) const {
  std::string out;
  size_t last = 0, n = 0;
  impl_->each(s, [&](const Match& m) {
    out.append(s.substr(last, m.start() - last));
    out += repl(m);
    last = m.end();
    return count == 0 || ++n < count;
  });
  out.append(s.substr(last));
  return out;
}

std::vector<std::optional<std::string>> Regex::split(std::string_view s, size_t maxsplit) const {
  std::vector<std::optional<std::string>> out;
  size_t last = 0, n = 0;
  impl_->each(s, [&](const Match& m) {
    out.emplace_back(std::string(s.substr(last, m.start() - last)));
    for (int g = 1; g <= m.groups(); ++g) {
      if (m.matched(g))
        out.emplace_back(std::string(m.group(g)));
      else
        out.emplace_back(std::nullopt);
    }
    last = m.end();
    return maxsplit == 0 || ++n < maxsplit;
  });
  out.emplace_back(std::string(s.substr(last)));
  return out;
}

std::vector<std::string> Regex::split_plain(std::string_view s, size_t maxsplit) const {
  std::vector<std::string> out;
  size_t last = 0, n = 0;
  impl_->each(s, [&](const Match& m) {
    out.emplace_back(s.substr(last, m.start() - last));
    last = m.end();
    return maxsplit == 0 || ++n < maxsplit;
  });
  out.emplace_back(s.substr(last));
  return out;
}

int Regex::groups() const { return impl_->groups; }
const std::string& Regex::pattern() const { return impl_->pattern; }

std::string escape(std::string_view s) {
  static constexpr std::string_view kSpecial = "()[]{}?*+-|^$\\.&~# \t\n\r\v\f";
  std::string out;
  out.reserve(s.size() + s.size() / 4);
  for (char c : s) {
    if (kSpecial.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace kestrune::re
