#include "kestrune/base/args.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "kestrune/base/json.h"
#include "kestrune/base/pyint.h"
#include "kestrune/base/regex.h"
#include "kestrune/base/text.h"

namespace kestrune::args {

namespace {

// argparse formats for the terminal width minus 2; our commands always
// printed what an 80-column terminal shows, whatever the terminal.
constexpr size_t kWidth = 78;
constexpr size_t kMaxHelpPosition = 24;

std::string repr(std::string_view s) { return json::py_repr(json::Value(s)); }

std::string spaces(size_t n) { return std::string(n, ' '); }

// int(s), clamped to long long; nullopt where Python raises ValueError.
std::optional<long long> parse_int(std::string_view s) {
  try {
    return pyint::int_from_string(s).saturated();
  } catch (const pyint::IntConversionError&) {
    return std::nullopt;
  }
}

bool looks_like_negative_number(std::string_view s) {
  static const re::Regex number(R"(^-\d+$|^-\d*\.\d+$)");
  return number.match(s).has_value();
}

// textwrap.wrap(text, width) with its defaults: words break after hyphens,
// over-long words are cut, blanks at line ends are dropped.
std::vector<std::string> wrap(std::string_view text, size_t width) {
  static const re::Regex word_separator(
      R"(([\t\n\x0b\x0c\r ]+|(?<=[\w!"'&.,?])-{2,}(?=\w)|[^\t\n\x0b\x0c\r ]+?)"
      R"((?:-(?:(?<=[^\d\W]{2}-)|(?<=[^\d\W]-[^\d\W]-))(?=[^\d\W]-?[^\d\W])|(?=[\t\n\x0b\x0c\r ]|\Z)|)"
      R"((?<=[\w!"'&.,?])(?=-{2,}\w))))");
  std::vector<std::string> chunks;  // reversed: the next chunk is at the back
  for (auto& piece : word_separator.split(text))
    if (piece && !piece->empty()) chunks.push_back(std::move(*piece));
  std::reverse(chunks.begin(), chunks.end());
  auto blank = [](const std::string& s) { return text::strip(s).empty(); };

  std::vector<std::string> lines;
  while (!chunks.empty()) {
    std::vector<std::string> line;
    size_t len = 0;
    if (!lines.empty() && blank(chunks.back())) chunks.pop_back();
    while (!chunks.empty() && len + text::length(chunks.back()) <= width) {
      len += text::length(chunks.back());
      line.push_back(std::move(chunks.back()));
      chunks.pop_back();
    }
    if (!chunks.empty() && text::length(chunks.back()) > width) {
      std::string& chunk = chunks.back();
      const size_t space_left = width > len ? width - len : 1;
      size_t end = space_left;
      const std::string_view head = text::head(chunk, space_left);
      if (size_t hyphen = head.rfind('-'); hyphen != std::string_view::npos && hyphen > 0 &&
                                           head.substr(0, hyphen).find_first_not_of('-') != std::string_view::npos)
        end = text::cp_offset(chunk, hyphen) + 1;
      const size_t cut = text::byte_offset(chunk, end);
      line.push_back(chunk.substr(0, cut));
      chunk.erase(0, cut);
    }
    if (!line.empty() && blank(line.back())) line.pop_back();
    if (!line.empty()) lines.push_back(text::join(line, ""));
  }
  return lines;
}

// Runs of ASCII blanks made one space, ends stripped, as argparse does before wrapping.
std::string collapse_blanks(std::string_view s) {
  static const re::Regex blanks(R"([ \t\n\r\x0b\x0c]+)");
  return std::string(text::strip(blanks.sub(" ", s)));
}

}  // namespace

// ---- result -----------------------------------------------------------------

template <class T>
const T& Result::get(std::string_view dest) const {
  auto it = values_.find(dest);
  if (it == values_.end()) throw std::logic_error("no parsed value " + std::string(dest));
  if constexpr (std::is_same_v<T, Value>) {
    return it->second;
  } else {
    const T* v = std::get_if<T>(&it->second);
    if (!v) throw std::logic_error("parsed value " + std::string(dest) + " has another type");
    return *v;
  }
}

bool Result::flag(std::string_view dest) const { return get<bool>(dest); }
long long Result::integer(std::string_view dest) const { return get<long long>(dest); }
const std::string& Result::text(std::string_view dest) const { return get<std::string>(dest); }
std::optional<std::string> Result::optional_text(std::string_view dest) const {
  if (std::holds_alternative<std::monostate>(get<Value>(dest))) return std::nullopt;
  return text(dest);
}
const std::vector<std::string>& Result::words(std::string_view dest) const {
  return get<std::vector<std::string>>(dest);
}

// ---- the parser -------------------------------------------------------------

struct Parser::Action {
  enum class Kind { Help, Flag, Text, Int, Words, Commands };
  Action(Kind k, Names n, std::string h, Value d = {})
      : kind(k), names(std::move(n)), help(std::move(h)), default_value(std::move(d)) {}

  Kind kind;
  Names names;  // empty for positionals
  std::string dest, help;
  bool required = false;
  Value default_value;
  struct Command {
    std::string name, help;
    std::unique_ptr<Parser> parser;
  };
  std::vector<Command> commands;

  bool positional() const { return names.empty(); }
  bool takes_value() const { return kind == Kind::Text || kind == Kind::Int; }

  std::string choices() const {
    std::vector<std::string> n;
    for (const auto& c : commands) n.push_back(c.name);
    return "{" + text::join(n, ",") + "}";
  }
  std::string metavar() const { return kind == Kind::Commands ? choices() : positional() ? dest : text::upper(dest); }
  // How error messages name the argument.
  std::string name() const { return positional() ? dest : text::join(names, "/"); }
  // The argument's column in the help.
  std::string invocation() const {
    if (positional()) return metavar();
    if (!takes_value()) return text::join(names, ", ");
    std::vector<std::string> forms;
    for (const auto& n : names) forms.push_back(n + " " + metavar());
    return text::join(forms, ", ");
  }
  std::string usage_part() const {
    if (kind == Kind::Words) return "[" + dest + " ...]";
    if (kind == Kind::Commands) return choices() + " ...";
    std::string part = takes_value() ? names[0] + " " + metavar() : names[0];
    return required ? part : "[" + part + "]";
  }
};

// One command-line word as this parser classifies it.
struct Parser::Word {
  char pattern = 'A';              // 'A' an argument, 'O' an option, '-' the "--" marker
  const Action* action = nullptr;  // of an 'O'; null for an unknown option
  std::string option_string;
  std::optional<std::string> explicit_arg;
};

Parser::Parser(std::string prog, std::string description)
    : prog_(std::move(prog)), description_(std::move(description)) {
  add(Action(Action::Kind::Help, {"-h", "--help"}, "show this help message and exit"));
}

Parser::Parser(Parser&&) noexcept = default;
Parser& Parser::operator=(Parser&&) noexcept = default;
Parser::~Parser() = default;

Parser& Parser::add(Action action) {
  if (action.positional()) {
    // One positional per parser is all our commands need; it keeps matching trivial.
    for (const auto& a : actions_)
      if (a->positional()) throw std::logic_error(prog_ + ": a second positional argument");
  } else {
    for (const auto& n : action.names)
      if (n.size() < 2 || n[0] != '-') throw std::logic_error(prog_ + ": bad option string " + repr(n));
    auto long_name = std::find_if(action.names.begin(), action.names.end(),
                                  [](const std::string& n) { return n.starts_with("--"); });
    action.dest = text::replace(text::lstrip(long_name != action.names.end() ? *long_name : action.names[0], "-"),
                                "-", "_");
  }
  actions_.push_back(std::make_unique<Action>(std::move(action)));
  for (const auto& n : actions_.back()->names) {
    if (find(n)) throw std::logic_error(prog_ + ": conflicting option string " + n);
    option_strings_.emplace_back(n, actions_.back().get());
    if (looks_like_negative_number(n)) negative_number_options_ = true;
  }
  return *this;
}

Parser& Parser::flag(Names names, std::string help) {
  return add(Action(Action::Kind::Flag, std::move(names), std::move(help), false));
}

Parser& Parser::text(Names names, std::optional<std::string> default_value, std::string help) {
  Action a(Action::Kind::Text, std::move(names), std::move(help));
  if (default_value) a.default_value.emplace<std::string>(std::move(*default_value));
  return add(std::move(a));
}

Parser& Parser::required_text(Names names, std::string help) {
  Action a(Action::Kind::Text, std::move(names), std::move(help), std::string());
  a.required = true;
  return add(std::move(a));
}

Parser& Parser::integer(Names names, long long default_value, std::string help) {
  return add(Action(Action::Kind::Int, std::move(names), std::move(help), default_value));
}

Parser& Parser::words(std::string name, std::string help) {
  Action a(Action::Kind::Words, {}, std::move(help), std::vector<std::string>());
  a.dest = std::move(name);
  return add(std::move(a));
}

Parser& Parser::command(const std::string& dest, std::string name, std::string help) {
  Action* commands = nullptr;
  for (auto& a : actions_)
    if (a->kind == Action::Kind::Commands) commands = a.get();
  if (!commands) {
    Action a(Action::Kind::Commands, {}, {});
    a.dest = dest;
    a.required = true;
    add(std::move(a));
    commands = actions_.back().get();
  } else if (commands->dest != dest) {
    throw std::logic_error(prog_ + ": sub-commands stored under " + commands->dest + " and " + dest);
  }
  auto parser = std::make_unique<Parser>(prog_ + " " + name);
  commands->commands.push_back({std::move(name), std::move(help), std::move(parser)});
  return *commands->commands.back().parser;
}

const Parser::Action* Parser::find(std::string_view option_string) const {
  for (const auto& [s, a] : option_strings_)
    if (s == option_string) return a;
  return nullptr;
}

void Parser::fail(const std::string& message) const {
  // Standard error shows an undecodable byte of an argument as Python's does.
  throw Exit{2, text::backslashreplace(usage() + prog_ + ": error: " + message + "\n"), message};
}

void Parser::fail(const Action& action, const std::string& message) const {
  fail("argument " + action.name() + ": " + message);
}

Parser::Word Parser::classify(const std::string& arg) const {
  if (arg.empty() || arg[0] != '-') return {};
  if (const Action* a = find(arg)) return {'O', a, arg, std::nullopt};
  if (arg.size() == 1) return {};
  const size_t eq = arg.find('=');
  if (eq != std::string::npos) {
    const std::string head = arg.substr(0, eq);
    if (const Action* a = find(head)) return {'O', a, head, arg.substr(eq + 1)};
  }

  // Abbreviations: a prefix of long options, or a short option with its value attached.
  std::vector<Word> matches;
  if (arg[1] == '-') {
    const std::string prefix = arg.substr(0, eq);
    std::optional<std::string> value;
    if (eq != std::string::npos) value = arg.substr(eq + 1);
    for (const auto& [s, a] : option_strings_)
      if (s.starts_with(prefix)) matches.push_back({'O', a, s, value});
  } else {
    const std::string_view short_prefix = text::head(arg, 2);
    for (const auto& [s, a] : option_strings_) {
      if (s == short_prefix)
        matches.push_back({'O', a, s, arg.substr(short_prefix.size())});
      else if (s.starts_with(arg))
        matches.push_back({'O', a, s, std::nullopt});
    }
  }
  if (matches.size() > 1) {
    std::vector<std::string> names;
    for (const Word& m : matches) names.push_back(m.option_string);
    fail("ambiguous option: " + arg + " could match " + text::join(names, ", "));
  }
  if (matches.size() == 1) return matches[0];
  if (looks_like_negative_number(arg) && !negative_number_options_) return {};
  if (arg.find(' ') != std::string::npos) return {};
  return {'O', nullptr, arg, std::nullopt};
}

// The words of one (sub-)command level, consumed the way argparse consumes them:
// options where the classification found them, the positional taking the
// longest run it can, once. Returns the words nobody took.
std::vector<std::string> Parser::parse_level(const std::vector<std::string>& argv, Result& out) const {
  for (const auto& a : actions_)
    if (a->kind != Action::Kind::Help && a->kind != Action::Kind::Commands) out.values_[a->dest] = a->default_value;

  std::vector<Word> words;
  std::string pattern;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (argv[i] == "--") {
      words.push_back({'-', nullptr, {}, std::nullopt});
      for (++i; i < argv.size(); ++i) words.push_back({});
      break;
    }
    words.push_back(classify(argv[i]));
  }
  for (const Word& w : words) pattern += w.pattern;

  const Action* positional = nullptr;
  for (const auto& a : actions_)
    if (a->positional()) positional = a.get();
  std::vector<const Action*> seen;
  std::vector<std::string> extras, deeper_extras;

  auto take = [&](const Action& action, std::vector<std::string> values) {
    seen.push_back(&action);
    if (action.kind == Action::Kind::Help) throw Exit{0, help(), ""};
    Value& slot = out.values_[action.dest];
    switch (action.kind) {
      case Action::Kind::Help:
        break;
      case Action::Kind::Flag:
        slot = true;
        break;
      case Action::Kind::Text:
        slot = values.at(0);
        break;
      case Action::Kind::Int: {
        std::optional<long long> n = parse_int(values.at(0));
        if (!n) fail(action, "invalid int value: " + repr(values[0]));
        slot = *n;
        break;
      }
      case Action::Kind::Words:
        if (auto marker = std::find(values.begin(), values.end(), "--"); marker != values.end()) values.erase(marker);
        slot = std::move(values);
        break;
      case Action::Kind::Commands: {
        const std::string& name = values.at(0);
        auto chosen = std::find_if(action.commands.begin(), action.commands.end(),
                                   [&](const Action::Command& c) { return c.name == name; });
        if (chosen == action.commands.end()) {
          std::vector<std::string> names;
          for (const auto& c : action.commands) names.push_back(repr(c.name));
          fail(action, "invalid choice: " + repr(name) + " (choose from " + text::join(names, ", ") + ")");
        }
        slot = name;
        std::vector<std::string> rest = chosen->parser->parse_level({values.begin() + 1, values.end()}, out);
        deeper_extras.insert(deeper_extras.end(), rest.begin(), rest.end());
        break;
      }
    }
  };

  bool positional_taken = false;
  auto consume_positionals = [&](size_t start) {
    if (!positional || positional_taken) return start;
    size_t end = start;
    if (positional->kind == Action::Kind::Words) {  // (-*[A-]*)
      while (end < pattern.size() && pattern[end] != 'O') ++end;
    } else {  // (-*A[-AO]*): the command name, then everything for the sub-command
      while (end < pattern.size() && pattern[end] == '-') ++end;
      if (end == pattern.size() || pattern[end] != 'A') return start;
      end = pattern.size();
    }
    positional_taken = true;
    take(*positional, {argv.begin() + static_cast<long>(start), argv.begin() + static_cast<long>(end)});
    return end;
  };

  auto consume_optional = [&](size_t start) -> size_t {
    Word w = words[start];
    std::vector<std::pair<const Action*, std::vector<std::string>>> taken;
    size_t stop = start + 1;
    while (true) {
      if (!w.action) {
        extras.push_back(argv[start]);
        return start + 1;
      }
      const Action& action = *w.action;
      if (w.explicit_arg) {
        if (action.takes_value()) {
          taken.push_back({&action, {*w.explicit_arg}});
          break;
        }
        // "-vr." is "-v" then "-r" with ".": single-dash flags chain.
        if (w.option_string[1] != '-' && !w.explicit_arg->empty()) {
          const std::string_view first = text::head(*w.explicit_arg, 1);
          std::string next = "-";
          next += first;
          const Action* next_action = find(next);
          if (!next_action) fail(action, "ignored explicit argument " + repr(*w.explicit_arg));
          taken.push_back({&action, {}});
          std::optional<std::string> rest;
          if (w.explicit_arg->size() > first.size()) rest = w.explicit_arg->substr(first.size());
          w = {'O', next_action, next, rest};
          continue;
        }
        fail(action, "ignored explicit argument " + repr(*w.explicit_arg));
      }
      if (!action.takes_value()) {
        taken.push_back({&action, {}});
        break;
      }
      if (start + 1 >= pattern.size() || pattern[start + 1] != 'A') fail(action, "expected one argument");
      taken.push_back({&action, {argv[start + 1]}});
      stop = start + 2;
      break;
    }
    for (auto& [action, values] : taken) take(*action, std::move(values));
    return stop;
  };

  std::vector<size_t> option_indices;
  for (size_t i = 0; i < pattern.size(); ++i)
    if (pattern[i] == 'O') option_indices.push_back(i);
  size_t start = 0;
  while (!option_indices.empty() && start <= option_indices.back()) {
    const size_t next = *std::lower_bound(option_indices.begin(), option_indices.end(), start);
    if (start != next) {
      const size_t end = consume_positionals(start);
      if (end > start) {
        start = end;
        continue;
      }
      extras.insert(extras.end(), argv.begin() + static_cast<long>(start), argv.begin() + static_cast<long>(next));
      start = next;
    }
    start = consume_optional(start);
  }
  const size_t stop = consume_positionals(start);
  extras.insert(extras.end(), argv.begin() + static_cast<long>(stop), argv.end());

  std::vector<std::string> missing;
  for (const auto& a : actions_)
    if (a->required && std::find(seen.begin(), seen.end(), a.get()) == seen.end()) missing.push_back(a->name());
  if (!missing.empty()) fail("the following arguments are required: " + text::join(missing, ", "));
  extras.insert(extras.end(), deeper_extras.begin(), deeper_extras.end());
  return extras;
}

Result Parser::parse(const std::vector<std::string>& argv) const {
  Result result;
  std::vector<std::string> extras = parse_level(argv, result);
  if (!extras.empty()) fail("unrecognized arguments: " + text::join(extras, " "));
  return result;
}

// ---- usage and help ---------------------------------------------------------

std::string Parser::usage() const {
  constexpr std::string_view prefix = "usage: ";
  std::vector<std::string> optionals, positionals;
  for (const auto& a : actions_) (a->positional() ? positionals : optionals).push_back(a->usage_part());
  std::vector<std::string> all = optionals;
  all.insert(all.end(), positionals.begin(), positionals.end());
  std::string line = prog_;
  if (!all.empty()) line += " " + text::join(all, " ");
  if (prefix.size() + text::length(line) <= kWidth) return std::string(prefix) + line + "\n";

  // Too long: wrap at whole bracketed parts, positionals on lines of their own.
  static const re::Regex part(R"(\(.*?\)+(?=\s|$)|\[.*?\]+(?=\s|$)|\S+)");
  auto parts_of = [](const std::vector<std::string>& usages) {
    const std::string joined = text::join(usages, " ");
    std::vector<std::string> parts;
    for (const re::Match& m : part.findall(joined)) parts.emplace_back(m.group());
    return parts;
  };
  auto get_lines = [](const std::vector<std::string>& parts, const std::string& indent, size_t first_len) {
    std::vector<std::string> lines, line;
    size_t len = first_len;
    for (const auto& p : parts) {
      if (len + 1 + text::length(p) > kWidth && !line.empty()) {
        lines.push_back(indent + text::join(line, " "));
        line.clear();
        len = indent.size() - 1;
      }
      line.push_back(p);
      len += text::length(p) + 1;
    }
    if (!line.empty()) lines.push_back(indent + text::join(line, " "));
    return lines;
  };
  const std::vector<std::string> opt_parts = parts_of(optionals), pos_parts = parts_of(positionals);
  std::vector<std::string> lines;
  const size_t prog_len = text::length(prog_);
  if (4 * (prefix.size() + prog_len) <= 3 * kWidth) {
    // A short prog: the arguments follow it, continuation lines aligned after it.
    const std::string indent = spaces(prefix.size() + prog_len + 1);
    std::vector<std::string> first = {prog_};
    const std::vector<std::string>& leading = opt_parts.empty() ? pos_parts : opt_parts;
    first.insert(first.end(), leading.begin(), leading.end());
    lines = get_lines(first, indent, prefix.size() - 1);
    if (!lines.empty()) lines[0].erase(0, indent.size());
    if (!opt_parts.empty())
      for (auto& l : get_lines(pos_parts, indent, indent.size() - 1)) lines.push_back(std::move(l));
  } else {
    const std::string indent = spaces(prefix.size());
    std::vector<std::string> parts = opt_parts;
    parts.insert(parts.end(), pos_parts.begin(), pos_parts.end());
    lines = get_lines(parts, indent, indent.size() - 1);
    if (lines.size() > 1) {
      lines = get_lines(opt_parts, indent, indent.size() - 1);
      for (auto& l : get_lines(pos_parts, indent, indent.size() - 1)) lines.push_back(std::move(l));
    }
    lines.insert(lines.begin(), prog_);
  }
  return std::string(prefix) + text::join(lines, "\n") + "\n";
}

std::string Parser::help() const {
  // The help column: two past the longest invocation, at most kMaxHelpPosition.
  size_t longest = 0;
  for (const auto& a : actions_) {
    longest = std::max(longest, text::length(a->invocation()));
    for (const auto& c : a->commands) longest = std::max(longest, text::length(c.name));
  }
  const size_t help_position = std::min(longest + 2 + 2, kMaxHelpPosition);
  const size_t help_width = std::max<size_t>(kWidth - help_position, 11);

  auto item = [&](std::string& out, size_t indent, const std::string& invocation, const std::string& help) {
    const size_t action_width = help_position - indent - 2;
    const std::string collapsed = collapse_blanks(help);
    const std::vector<std::string> lines = collapsed.empty() ? std::vector<std::string>{} : wrap(collapsed, help_width);
    if (help.empty()) {
      out += spaces(indent) + invocation + "\n";
      return;
    }
    size_t first_indent = 0;
    if (text::length(invocation) <= action_width) {
      out += spaces(indent) + invocation + spaces(action_width - text::length(invocation) + 2);
    } else {
      out += spaces(indent) + invocation + "\n";
      first_indent = help_position;
    }
    if (lines.empty()) {
      if (first_indent == 0) out += "\n";
      return;
    }
    out += spaces(first_indent) + lines[0] + "\n";
    for (size_t k = 1; k < lines.size(); ++k) out += spaces(help_position) + lines[k] + "\n";
  };
  auto section = [&](std::string& out, const char* heading, bool positionals) {
    std::string items;
    for (const auto& a : actions_) {
      if (a->positional() != positionals) continue;
      item(items, 2, a->invocation(), a->help);
      for (const auto& c : a->commands) item(items, 4, c.name, c.help);
    }
    if (!items.empty()) out += "\n" + std::string(heading) + ":\n" + items;
  };

  std::string out = usage();
  if (!description_.empty()) out += "\n" + text::join(wrap(collapse_blanks(description_), kWidth), "\n") + "\n";
  section(out, "positional arguments", true);
  section(out, "options", false);
  return out;
}

}  // namespace kestrune::args
