#include "kestrune/edit_guard/attention.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "kestrune/base/json.h"
#include "kestrune/base/json_exact.h"
#include "kestrune/base/text.h"
#include "kestrune/edit_guard/edit_guard.h"

namespace kestrune::edit_guard {

int kind_weight(std::string_view kind) {
  for (const auto& [k, w] : KIND_WEIGHT)
    if (k == kind) return w;
  return 0;
}

namespace {

// A float stamp as whole seconds, truncated toward zero; nullopt for NaN, the
// infinities and anything beyond 64 bits.
std::optional<int64_t> whole_seconds(double d) {
  d = std::trunc(d);
  // 2^63 is exact as a double; the range check also rejects NaN and infinities.
  if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) return static_cast<int64_t>(d);
  return std::nullopt;
}

// A stamp as whole seconds: integers as they are, floats truncated toward zero.
// Anything else (a string, a boolean, NaN, a value beyond 64 bits) is a file
// we do not understand.
std::optional<int64_t> stamp(const json::Value* ts) {
  if (ts == nullptr || ts->is_null()) return 0;
  if (ts->is_int()) return ts->as_int();
  if (ts->is_float()) return whole_seconds(ts->as_double());
  return std::nullopt;
}

bool is_strict_utf8(std::string_view bytes) {
  // Read as strict UTF-8: a byte-order mark is not JSON.
  return text::is_valid_utf8(bytes) && !text::starts_with(bytes, "\xEF\xBB\xBF");
}

std::optional<std::vector<Action>> read_document(std::string_view bytes) {
  json::Value doc;
  try {
    doc = json::parse_exact(bytes);
  } catch (...) {
    return std::nullopt;
  }
  if (!doc.is_object()) return std::nullopt;
  const json::Value* list = doc.find("actions");
  if (list == nullptr) return std::vector<Action>{};
  if (!list->is_array()) return std::nullopt;

  std::vector<Action> actions;
  for (const json::Value& a : list->as_array()) {
    if (!a.is_object()) return std::nullopt;
    const json::Value* payload = a.find("payload");
    if (payload != nullptr && !payload->is_null() && !payload->is_object()) return std::nullopt;
    std::optional<int64_t> ts = stamp(a.find("ts"));
    if (!ts) return std::nullopt;

    const json::Value* kind = a.find("kind");
    int weight = kind != nullptr && kind->is_string() ? kind_weight(kind->as_string()) : 0;
    if (weight == 0) continue;
    const json::Value* file = payload != nullptr ? payload->find("file") : nullptr;
    if (file == nullptr || !file->is_string() || file->as_string().empty()) continue;
    const std::string& k = kind->as_string();
    actions.push_back({weight, k == "read" || k == "read_cache_hit", file->as_string(), *ts});
  }
  return actions;
}

// The attention file in one pass, for the guard's own start-up budget: a
// document tree of a large file costs more than the rest of the hook call.
// It accepts only what json.loads accepts and reads what read_document()
// reads, duplicate names included (the last one counts). Whatever it is not
// sure of, it does not decide: every method returns false for "cannot tell",
// and the document reader answers instead.
class ActionScanner {
 public:
  explicit ActionScanner(std::string_view s) : p_(s.data()), end_(s.data() + s.size()) {}

  bool run(std::vector<Action>& out) {
    out.clear();
    if (!at('{')) return false;
    bool ok = members([&](std::string_view key) {
      if (key != "actions") return value(1);
      out.clear();  // a repeated name: the last value counts
      return actions(out);
    });
    skip_ws();
    return ok && p_ == end_;
  }

 private:
  // Deeper than this, the document reader decides (and counts its own limit).
  static constexpr int MAX_DEPTH = 64;

  void skip_ws() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  // Skips white space; whether the next character is `c` (not consumed).
  bool at(char c) {
    skip_ws();
    return p_ != end_ && *p_ == c;
  }
  bool word(std::string_view w) {
    if (static_cast<size_t>(end_ - p_) < w.size() || std::string_view(p_, w.size()) != w) return false;
    p_ += w.size();
    return true;
  }
  bool digits() {
    const char* start = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ != start;
  }
  bool digit_next(const char* q) const { return q != end_ && *q >= '0' && *q <= '9'; }
  static bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }

  // A string without escapes, quotes excluded; at its opening quote.
  bool plain_string(std::string_view& out) {
    const char* start = ++p_;
    while (p_ != end_ && *p_ != '"') {
      if (*p_ == '\\' || static_cast<unsigned char>(*p_) < 0x20) return false;
      ++p_;
    }
    if (p_ == end_) return false;
    out = std::string_view(start, static_cast<size_t>(p_ - start));
    ++p_;
    return true;
  }

  // Any valid string, not decoded; at its opening quote.
  bool string() {
    for (++p_; p_ != end_; ++p_) {
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (++p_ == end_) return false;
      if (*p_ == 'u') {
        for (int k = 0; k < 4; ++k)
          if (++p_ == end_ || !is_hex(*p_)) return false;
      } else if (std::string_view("\"\\/bfnrt").find(*p_) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }

  // -?(0|[1-9]\d*)(\.\d+)?([eE][-+]?\d+)? ; `is_float` tells whether it had a
  // fraction or an exponent. What follows is checked by the container.
  bool number(std::string_view& text, bool& is_float) {
    const char* start = p_;
    if (*p_ == '-') ++p_;
    if (p_ != end_ && *p_ == '0')
      ++p_;
    else if (!digits())
      return false;
    is_float = false;
    if (p_ != end_ && *p_ == '.' && digit_next(p_ + 1)) {
      ++p_;
      digits();
      is_float = true;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      const char* e = p_ + 1;
      if (e != end_ && (*e == '+' || *e == '-')) ++e;
      if (digit_next(e)) {
        p_ = e;
        digits();
        is_float = true;
      }
    }
    text = std::string_view(start, static_cast<size_t>(p_ - start));
    return true;
  }

  // Any valid value, skipped; white space before it already skipped.
  bool value(int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '"': return string();
      case '{':
        return depth < MAX_DEPTH && members([&](std::string_view) { return value(depth + 1); }, true);
      case '[':
        return depth < MAX_DEPTH && elements([&] { return value(depth + 1); });
      case 'n': return word("null");
      case 't': return word("true");
      case 'f': return word("false");
      case 'N': return word("NaN");
      case 'I': return word("Infinity");
      default: {
        if (word("-Infinity")) return true;
        std::string_view text;
        bool is_float;
        return number(text, is_float);
      }
    }
  }

  // The members of the object whose "{" is next, each name handed to
  // `on_member` with the input at the first character of its value. Names are
  // taken undecoded, or only skipped when `any_names` (the caller ignores them).
  template <typename F>
  bool members(F&& on_member, bool any_names = false) {
    ++p_;
    if (close('}')) return true;
    for (;;) {
      if (!at('"')) return false;
      std::string_view name;
      if (any_names ? !string() : !plain_string(name)) return false;
      if (!at(':')) return false;
      ++p_;
      skip_ws();
      if (p_ == end_ || !on_member(name)) return false;
      if (close('}')) return true;
      if (!at(',')) return false;
      ++p_;
    }
  }

  // The elements of the array whose "[" is next, `on_element` at the first
  // character of each.
  template <typename F>
  bool elements(F&& on_element) {
    ++p_;
    if (close(']')) return true;
    for (;;) {
      skip_ws();
      if (p_ == end_ || !on_element()) return false;
      if (close(']')) return true;
      if (!at(',')) return false;
      ++p_;
    }
  }

  bool close(char c) {
    if (!at(c)) return false;
    ++p_;
    return true;
  }

  bool actions(std::vector<Action>& out) {
    if (*p_ != '[') return false;
    return elements([&] { return action(out); });
  }

  bool action(std::vector<Action>& out) {
    if (*p_ != '{') return false;
    Text kind, file;
    int64_t ts = 0;
    bool ok = members([&](std::string_view key) {
      if (key == "kind") return text_or_other(kind, 3);
      if (key == "ts") return stamp(ts);
      if (key == "payload") {
        file = {};
        if (*p_ == 'n') return word("null");
        if (*p_ != '{') return false;
        return members([&](std::string_view k) { return k == "file" ? text_or_other(file, 4) : value(4); });
      }
      return value(3);
    });
    if (!ok) return false;
    int weight = kind.is_string ? kind_weight(kind.value) : 0;
    if (weight != 0 && file.is_string && !file.value.empty())
      out.push_back({weight, kind.value == "read" || kind.value == "read_cache_hit", std::string(file.value), ts});
    return true;
  }

  // A member that counts only when it is a string.
  struct Text {
    bool is_string = false;
    std::string_view value;
  };

  // A string value into `s`; any other value skipped, `s` left no string.
  bool text_or_other(Text& s, int depth) {
    s = {};
    if (*p_ != '"') return value(depth);
    s.is_string = true;
    return plain_string(s.value);
  }

  // null or a number that is a whole number of seconds (as stamp() takes it).
  bool stamp(int64_t& ts) {
    if (*p_ == 'n') {
      ts = 0;
      return word("null");
    }
    if (*p_ != '-' && (*p_ < '0' || *p_ > '9')) return false;
    std::string_view text;
    bool is_float;
    if (!number(text, is_float)) return false;
    const char* first = text.data();
    const char* last = first + text.size();
    if (!is_float) {
      auto r = std::from_chars(first, last, ts);
      return r.ec == std::errc() && r.ptr == last;
    }
    double d;
    auto r = std::from_chars(first, last, d);
    if (r.ec != std::errc() || r.ptr != last) return false;
    std::optional<int64_t> whole = whole_seconds(d);
    if (!whole) return false;
    ts = *whole;
    return true;
  }

  const char* p_;
  const char* end_;
};

}  // namespace

bool scan_actions(std::string_view bytes, std::vector<Action>& out) {
  return is_strict_utf8(bytes) && ActionScanner(bytes).run(out);
}

std::optional<std::vector<Action>> read_actions(std::string_view bytes) {
  if (!is_strict_utf8(bytes)) return std::nullopt;
  return read_document(bytes);
}

std::optional<std::vector<Action>> parse_actions(std::string_view bytes) {
  if (!is_strict_utf8(bytes)) return std::nullopt;
  std::vector<Action> actions;
  if (ActionScanner(bytes).run(actions)) return actions;
  return read_document(bytes);
}

std::vector<Attention> tally(const std::vector<Action>& actions, int64_t now) {
  std::vector<Attention> records;
  std::unordered_map<std::string_view, size_t> index;
  records.reserve(actions.size());
  for (const Action& a : actions) {
    auto [it, fresh] = index.try_emplace(a.file, records.size());
    if (fresh) records.push_back({a.file});
    Attention& r = records[it->second];
    // Wide enough that no pair of 64-bit stamps overflows; any age beyond 2^53
    // seconds decays to exactly 0 whatever the rounding.
    __int128 age = static_cast<__int128>(now) - a.ts;
    if (age < 0) age = 0;
    double decay = std::pow(2.0, -static_cast<double>(age) / HALF_LIFE_SECONDS);
    r.score += a.weight * decay;
    (a.is_read ? r.reads : r.edits) += 1;
    r.last_ts = std::max(r.last_ts, a.ts);
  }
  return records;
}

}  // namespace kestrune::edit_guard
