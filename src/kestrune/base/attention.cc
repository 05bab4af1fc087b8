#include "kestrune/base/attention.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_map>

#include "kestrune/base/json.h"
#include "kestrune/base/json_exact.h"
#include "kestrune/base/text.h"

namespace kestrune::attention {

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

// The stamp of a parsed action, or nullopt when the action is not of the
// shape the guard reads (then the whole file counts as absent).
std::optional<int64_t> checked_stamp(const json::Value& a) {
  if (!a.is_object()) return std::nullopt;
  const json::Value* payload = a.find("payload");
  if (payload != nullptr && !payload->is_null() && !payload->is_object()) return std::nullopt;
  return stamp(a.find("ts"));
}

std::optional<json::Value> parse_document(std::string_view bytes) {
  try {
    json::Value doc = json::parse_exact(bytes);
    if (doc.is_object()) return doc;
  } catch (...) {
  }
  return std::nullopt;
}

bool is_read_kind(std::string_view k) { return k == "read" || k == "read_cache_hit"; }

std::optional<std::vector<Action>> read_document(std::string_view bytes) {
  std::optional<json::Value> doc = parse_document(bytes);
  if (!doc) return std::nullopt;
  const json::Value* list = doc->find("actions");
  if (list == nullptr) return std::vector<Action>{};
  if (!list->is_array()) return std::nullopt;

  std::vector<Action> actions;
  for (const json::Value& a : list->as_array()) {
    std::optional<int64_t> ts = checked_stamp(a);
    if (!ts) return std::nullopt;
    const json::Value* kind = a.find("kind");
    int weight = kind != nullptr && kind->is_string() ? kind_weight(kind->as_string()) : 0;
    if (weight == 0) continue;
    const json::Value* payload = a.find("payload");
    const json::Value* file = payload != nullptr ? payload->find("file") : nullptr;
    if (file == nullptr || !file->is_string() || file->as_string().empty()) continue;
    actions.push_back({weight, is_read_kind(kind->as_string()), file->as_string(), *ts});
  }
  return actions;
}

// The layout of a document the scanner could not tell about, written out
// again member by member (json.dumps of each value).
std::optional<Layout> read_document_layout(std::string_view bytes) {
  std::optional<json::Value> doc = parse_document(bytes);
  if (!doc) return std::nullopt;
  Layout l;
  auto text = std::make_unique<std::string>();
  auto put = [&](auto&& write) {
    Layout::Span s{text->size(), 0};
    write();
    s.end = text->size();
    return s;
  };
  for (const json::Member& m : doc->as_object()) {
    Layout::Member member;
    member.name = put([&] { json::dump_string(*text, m.key); });
    if (m.key == "actions") {
      if (!m.value.is_array()) return std::nullopt;
      l.actions = l.members.size();
      for (const json::Value& a : m.value.as_array()) {
        std::optional<int64_t> ts = checked_stamp(a);
        if (!ts) return std::nullopt;
        l.entries.push_back({put([&] { json::dump_to(*text, a); }), *ts});
      }
    } else {
      member.value = put([&] { json::dump_to(*text, m.value); });
    }
    l.members.push_back(member);
  }
  l.text = *text;  // the string stays where it is however the layout moves
  l.rewritten = std::move(text);
  return l;
}

// A string value the scanner met where it reads one: undecoded, and whether
// it holds escapes (then only the document reader can say what it is).
struct Text {
  bool is_string = false;
  bool escaped = false;
  std::string_view value;
};

// One action as the scanner meets it.
struct Item {
  std::string_view text;
  Text kind, file;
  int64_t ts = 0;
};

// The attention file in one pass, for the hooks' start-up budget: a document
// tree of a large file costs more than the rest of the hook call. It accepts
// only what json.loads accepts and reads what read_document() reads,
// duplicate names included (the last one counts). Whatever it is not sure of,
// it does not decide: every method returns false for "cannot tell", and the
// document reader answers instead.
//
// What it finds goes to a Sink as it goes:
//   bool member(name, value, is_actions): each top-level member, the name
//     with its quotes;
//   bool restart(): another "actions" member (the last one counts), before
//     its items;
//   bool item(const Item&): each action of an "actions" member.
// A sink returning false stops the scan: "cannot tell".
template <typename Sink>
class ActionScanner {
 public:
  ActionScanner(std::string_view s, Sink& sink) : p_(s.data()), end_(s.data() + s.size()), sink_(sink) {}

  bool run() {
    if (!at('{')) return false;
    bool seen_actions = false;
    bool ok = members([&](std::string_view key) {
      const char* begin = p_;
      const bool is_actions = key == "actions";
      if (is_actions) {
        if (seen_actions && !sink_.restart()) return false;
        seen_actions = true;
      }
      if (!(is_actions ? actions() : value(1))) return false;
      return sink_.member(std::string_view(key.data() - 1, key.size() + 2),
                          std::string_view(begin, static_cast<size_t>(p_ - begin)), is_actions);
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
  // The literal `w` next, consumed. Compared inline: a call to memcmp per
  // word costs more than the comparison.
  template <size_t N>
  bool word(const char (&w)[N]) {
    constexpr size_t n = N - 1;
    if (static_cast<size_t>(end_ - p_) < n) return false;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      uint64_t a, b;
      std::memcpy(&a, p_ + i, 8);
      std::memcpy(&b, w + i, 8);
      if (a != b) return false;
    }
    for (; i < n; ++i)
      if (p_[i] != w[i]) return false;
    p_ += n;
    return true;
  }
  bool digits() {
    const char* start = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ != start;
  }
  bool digit_next(const char* q) const { return q != end_ && *q >= '0' && *q <= '9'; }
  static bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

  // The first quote, backslash or control character at or after `p`; `end_`
  // when there is none. Strings are most of the file: eight bytes at a time.
  const char* string_stop(const char* p) const {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    while (end_ - p >= 8) {
      uint64_t v;
      std::memcpy(&v, p, 8);
      const uint64_t quote = v ^ (ones * '"'), backslash = v ^ (ones * '\\');
      // A byte that is zero in `quote` or `backslash`, or below 0x20 in `v`.
      // A borrow only flags bytes above a true hit, so the lowest flag is one.
      const uint64_t hits =
          (((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | ((v - ones * 0x20) & ~v)) & highs;
      if (hits != 0) {
        if constexpr (std::endian::native == std::endian::little) return p + std::countr_zero(hits) / 8;
        break;
      }
      p += 8;
    }
    while (p != end_ && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) ++p;
    return p;
  }

  // A string without escapes, quotes excluded; at its opening quote.
  bool plain_string(std::string_view& out) {
    const char* start = ++p_;
    p_ = string_stop(p_);
    if (p_ == end_ || *p_ != '"') return false;
    out = std::string_view(start, static_cast<size_t>(p_ - start));
    ++p_;
    return true;
  }

  // Any valid string, not decoded; at its opening quote.
  bool string() {
    ++p_;
    for (;;) {
      p_ = string_stop(p_);
      if (p_ == end_ || *p_ != '\\') break;
      if (++p_ == end_) return false;
      if (*p_ == 'u') {
        for (int k = 0; k < 4; ++k)
          if (++p_ == end_ || !is_hex(*p_)) return false;
      } else if (std::string_view("\"\\/bfnrt").find(*p_) == std::string_view::npos) {
        return false;
      }
      ++p_;
    }
    if (p_ == end_ || *p_ != '"') return false;  // the end, or a control character
    ++p_;
    return true;
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
      case '{': return depth < MAX_DEPTH && members([&](std::string_view) { return value(depth + 1); }, true);
      case '[': return depth < MAX_DEPTH && elements([&] { return value(depth + 1); });
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

  bool actions() {
    if (*p_ != '[') return false;
    return elements([&] { return action(); });
  }

  bool action() {
    if (*p_ != '{') return false;
    Item item;
    const char* begin = p_;
    if (canonical(item)) {
      item.text = std::string_view(begin, static_cast<size_t>(p_ - begin));
      return sink_.item(item);
    }
    p_ = begin;
    item = {};
    bool ok = members([&](std::string_view key) {
      if (key == "kind") return text_or_other(item.kind, 3);
      if (key == "ts") return stamp(item.ts);
      if (key == "payload") {
        item.file = {};
        if (*p_ == 'n') return word("null");
        if (*p_ != '{') return false;
        return members([&](std::string_view k) { return k == "file" ? text_or_other(item.file, 4) : value(4); });
      }
      return value(3);
    });
    if (!ok) return false;
    item.text = std::string_view(begin, static_cast<size_t>(p_ - begin));
    return sink_.item(item);
  }

  // An action in the form writers give it, json.dumps's own, read without the
  // general machinery (most of a hook's time otherwise):
  //   {"kind": K, "payload": {"file": F, "tool": T, "session": S}, "ts": N}
  // K, F, T and S strings without escapes. False, wherever it stopped, for
  // anything else; then the general reading starts over.
  bool canonical(Item& item) {
    std::string_view ignored;
    if (!(word("{\"kind\": ") && at_quote() && plain_string(item.kind.value))) return false;
    if (!(word(", \"payload\": {\"file\": ") && at_quote() && plain_string(item.file.value))) return false;
    if (!(word(", \"tool\": ") && at_quote() && plain_string(ignored))) return false;
    if (!(word(", \"session\": ") && at_quote() && plain_string(ignored))) return false;
    if (!(word("}, \"ts\": ") && p_ != end_ && stamp(item.ts) && word("}"))) return false;
    item.kind.is_string = item.file.is_string = true;
    return true;
  }
  bool at_quote() const { return p_ != end_ && *p_ == '"'; }

  // A string value into `s`, escapes and all; any other value skipped, `s`
  // left no string.
  bool text_or_other(Text& s, int depth) {
    s = {};
    if (*p_ != '"') return value(depth);
    s.is_string = true;
    const char* start = p_;
    if (plain_string(s.value)) return true;
    p_ = start;
    s.escaped = true;
    s.value = {};
    return string();
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
      // Stamps are ten digits: no need for the general conversion below 10^18.
      if (text.size() <= 18 && *first != '-') {
        int64_t v = 0;
        for (const char* c = first; c != last; ++c) v = v * 10 + (*c - '0');
        ts = v;
        return true;
      }
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
  Sink& sink_;
};

}  // namespace

namespace {

// The weighted actions, for readers. An escape in a kind or a file the
// scanner cannot decode: the document reader decides.
struct ActionsSink {
  std::vector<Action>& out;

  bool member(std::string_view, std::string_view, bool) { return true; }
  bool restart() {
    out.clear();
    return true;
  }
  bool item(const Item& item) {
    if (!item.kind.is_string) return true;
    if (item.kind.escaped) return false;
    const int weight = kind_weight(item.kind.value);
    if (weight == 0 || !item.file.is_string) return true;
    if (item.file.escaped) return false;
    if (!item.file.value.empty())
      out.push_back({weight, is_read_kind(item.kind.value), std::string(item.file.value), item.ts});
    return true;
  }
};

// scan_actions() on bytes known to be strict UTF-8.
bool scan_utf8(std::string_view bytes, std::vector<Action>& out) {
  out.clear();
  ActionsSink sink{out};
  return ActionScanner(bytes, sink).run();
}

// The layout, for the writer: spans of every member and action. A repeated
// "actions" member is left to the document reader.
struct LayoutSink {
  Layout& l;

  Layout::Span span(std::string_view v) const {
    const size_t begin = static_cast<size_t>(v.data() - l.text.data());
    return {begin, begin + v.size()};
  }
  bool member(std::string_view name, std::string_view value, bool is_actions) {
    if (is_actions) l.actions = l.members.size();
    l.members.push_back({span(name), span(value)});
    return true;
  }
  bool restart() { return false; }
  bool item(const Item& item) {
    l.entries.push_back({span(item.text), item.ts});
    return true;
  }
};

}  // namespace

bool scan_actions(std::string_view bytes, std::vector<Action>& out) {
  out.clear();
  return is_strict_utf8(bytes) && scan_utf8(bytes, out);
}

std::optional<std::vector<Action>> read_actions(std::string_view bytes) {
  if (!is_strict_utf8(bytes)) return std::nullopt;
  return read_document(bytes);
}

std::optional<std::vector<Action>> parse_actions(std::string_view bytes) {
  if (!is_strict_utf8(bytes)) return std::nullopt;
  std::vector<Action> actions;
  if (scan_utf8(bytes, actions)) return actions;
  return read_document(bytes);
}

std::optional<Layout> read_layout(std::string_view bytes) {
  if (!is_strict_utf8(bytes)) return std::nullopt;
  Layout l;
  l.text = bytes;
  l.entries.reserve(bytes.size() / 96);  // about what an action takes: no regrowth
  LayoutSink sink{l};
  if (ActionScanner(bytes, sink).run()) return l;
  return read_document_layout(bytes);
}

std::vector<Record> tally(const std::vector<Action>& actions, int64_t now) {
  std::vector<Record> records;
  std::unordered_map<std::string_view, size_t> index;
  records.reserve(actions.size());
  for (const Action& a : actions) {
    auto [it, fresh] = index.try_emplace(a.file, records.size());
    if (fresh) records.push_back({a.file});
    Record& r = records[it->second];
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

}  // namespace kestrune::attention
