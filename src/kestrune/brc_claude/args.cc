// The launcher's command line, read exactly as the standard argument parser
// reads it, with its help text and its error messages.
#include <climits>
#include <string>
#include <vector>

#include "kestrune/base/json.h"
#include "kestrune/base/text.h"
#include "kestrune/brc_claude/brc_claude.h"

namespace kestrune::brc_claude {
namespace {

const std::string USAGE =
    "usage: brc-claude [-h] [--project-root PROJECT_ROOT] [--budget BUDGET]\n"
    "                  [--max-files MAX_FILES] [--model MODEL] [--json] [--dry-run]\n"
    "                  [--no-permissions] [--no-session] [--verbose]\n"
    "                  [query ...]\n";

const std::string HELP = USAGE +
    "\n"
    "Pre-injection wrapper: graph retrieval → packed context → claude -p\n"
    "\n"
    "positional arguments:\n"
    "  query                 The user's question (all positional args joined with\n"
    "                        spaces)\n"
    "\n"
    "options:\n"
    "  -h, --help            show this help message and exit\n"
    "  --project-root PROJECT_ROOT, -r PROJECT_ROOT\n"
    "                        Project root directory (default: current dir)\n"
    "  --budget BUDGET, -b BUDGET\n"
    "                        Token budget for the context pack (default: 5000)\n"
    "  --max-files MAX_FILES\n"
    "                        Max files included in context (default: 8)\n"
    "  --model MODEL, -m MODEL\n"
    "                        Claude model to use (default: claude-sonnet-4-6)\n"
    "  --json                Add --output-format json (for benchmarks)\n"
    "  --dry-run             Print the packed context and exit (don't launch\n"
    "                        Claude)\n"
    "  --no-permissions      Add --dangerously-skip-permissions (for benchmarks)\n"
    "  --no-session          Add --no-session-persistence (for benchmarks)\n"
    "  --verbose, -v         Print pack timing and token estimate to stderr\n";

enum class Kind { Help, Str, Int, Flag };

struct Option {
  const char* name;  // for messages: the option strings joined with "/"
  Kind kind;
  std::string Args::*str = nullptr;
  long long Args::*num = nullptr;
  bool Args::*flag = nullptr;
};

const Option OPTIONS[] = {
    {"-h/--help", Kind::Help},
    {"--project-root/-r", Kind::Str, &Args::project_root},
    {"--budget/-b", Kind::Int, nullptr, &Args::budget},
    {"--max-files", Kind::Int, nullptr, &Args::max_files},
    {"--model/-m", Kind::Str, &Args::model},
    {"--json", Kind::Flag, nullptr, nullptr, &Args::json},
    {"--dry-run", Kind::Flag, nullptr, nullptr, &Args::dry_run},
    {"--no-permissions", Kind::Flag, nullptr, nullptr, &Args::no_permissions},
    {"--no-session", Kind::Flag, nullptr, nullptr, &Args::no_session},
    {"--verbose/-v", Kind::Flag, nullptr, nullptr, &Args::verbose},
};

// Every option string in registration order (the order abbreviations are listed in).
struct OptionString {
  std::string_view text;
  const Option* option;
};
const OptionString OPTION_STRINGS[] = {
    {"-h", &OPTIONS[0]},         {"--help", &OPTIONS[0]},       {"--project-root", &OPTIONS[1]},
    {"-r", &OPTIONS[1]},         {"--budget", &OPTIONS[2]},     {"-b", &OPTIONS[2]},
    {"--max-files", &OPTIONS[3]}, {"--model", &OPTIONS[4]},     {"-m", &OPTIONS[4]},
    {"--json", &OPTIONS[5]},     {"--dry-run", &OPTIONS[6]},    {"--no-permissions", &OPTIONS[7]},
    {"--no-session", &OPTIONS[8]}, {"--verbose", &OPTIONS[9]},  {"-v", &OPTIONS[9]},
};

const Option* lookup(std::string_view s) {
  for (const OptionString& o : OPTION_STRINGS)
    if (o.text == s) return o.option;
  return nullptr;
}

[[noreturn]] void fail(const std::string& message) {
  throw ParseExit{2, USAGE + "brc-claude: error: " + message + "\n"};
}

[[noreturn]] void fail(const Option& opt, const std::string& message) {
  fail(std::string("argument ") + opt.name + ": " + message);
}

std::string repr(std::string_view s) { return json::py_repr(json::Value(s)); }

// One command-line word as the parser classifies it.
struct Word {
  char pattern = 'A';  // 'A' argument, 'O' option, '-' the "--" marker
  const Option* option = nullptr;  // null for an unknown option
  std::string option_string;
  std::optional<std::string> explicit_arg;
};

Word plain(char pattern) {
  Word w;
  w.pattern = pattern;
  return w;
}

bool negative_number(std::string_view s) {  // ^-\d+$|^-\d*\.\d+$
  if (s.size() < 2 || s[0] != '-') return false;
  size_t i = 1, digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i == s.size()) return digits > 0;
  if (s[i] != '.') return false;
  size_t frac = 0;
  for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) ++frac;
  return i == s.size() && frac > 0;
}

Word classify(const std::string& arg) {
  Word w;
  if (arg.empty() || arg[0] != '-') return w;
  if (const Option* o = lookup(arg)) return {'O', o, arg, std::nullopt};
  if (arg.size() == 1) return w;
  if (size_t eq = arg.find('='); eq != std::string::npos) {
    std::string head = arg.substr(0, eq);
    if (const Option* o = lookup(head)) return {'O', o, head, arg.substr(eq + 1)};
  }
  // Abbreviations: a prefix of long options, or a short option with its value attached.
  std::vector<Word> matches;
  if (arg[1] == '-') {
    size_t eq = arg.find('=');
    std::string prefix = arg.substr(0, eq);
    std::optional<std::string> value;
    if (eq != std::string::npos) value = arg.substr(eq + 1);
    for (const OptionString& o : OPTION_STRINGS)
      if (text::starts_with(o.text, prefix)) matches.push_back({'O', o.option, std::string(o.text), value});
  } else {
    std::string_view short_prefix = std::string_view(arg).substr(0, 2);
    for (const OptionString& o : OPTION_STRINGS) {
      if (o.text == short_prefix)
        matches.push_back({'O', o.option, std::string(o.text), arg.substr(2)});
      else if (text::starts_with(o.text, arg))
        matches.push_back({'O', o.option, std::string(o.text), std::nullopt});
    }
  }
  if (matches.size() > 1) {
    std::string names;
    for (const Word& m : matches) names += (names.empty() ? "" : ", ") + m.option_string;
    fail("ambiguous option: " + arg + " could match " + names);
  }
  if (matches.size() == 1) return matches[0];
  if (negative_number(arg) || arg.find(' ') != std::string::npos) return w;
  return {'O', nullptr, arg, std::nullopt};
}

// int(text) for the integers a person types: surrounding blanks, a sign,
// digits with single underscores between them. Values beyond the range saturate.
std::optional<long long> parse_int(std::string_view s) {
  s = text::strip(s);
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) neg = s[0] == '-', s.remove_prefix(1);
  if (s.empty() || s.front() == '_' || s.back() == '_') return std::nullopt;
  unsigned long long v = 0;
  bool saturated = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '_') {
      if (s[i - 1] == '_') return std::nullopt;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    if (v > (ULLONG_MAX - 9) / 10) saturated = true;
    else v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (saturated || v > static_cast<unsigned long long>(LLONG_MAX)) return neg ? LLONG_MIN : LLONG_MAX;
  return neg ? -static_cast<long long>(v) : static_cast<long long>(v);
}

void take(Args& args, const Option& opt, const std::string* value) {
  switch (opt.kind) {
    case Kind::Help:
      throw ParseExit{0, HELP};
    case Kind::Flag:
      args.*opt.flag = true;
      break;
    case Kind::Str:
      args.*opt.str = *value;
      break;
    case Kind::Int: {
      std::optional<long long> n = parse_int(*value);
      if (!n) fail(opt, "invalid int value: " + repr(*value));
      args.*opt.num = *n;
      break;
    }
  }
}

}  // namespace

const std::string& help_text() { return HELP; }

Args parse_args(const std::vector<std::string>& argv) {
  std::vector<Word> words;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (argv[i] == "--") {
      words.push_back(plain('-'));
      for (++i; i < argv.size(); ++i) words.push_back(plain('A'));
      break;
    }
    words.push_back(classify(argv[i]));
  }

  Args args;
  std::vector<std::string> extras;
  bool query_taken = false;

  // The question takes the run of words (and "--" markers) at `start`, once.
  auto consume_positionals = [&](size_t start) {
    if (query_taken) return start;
    query_taken = true;
    bool marker_dropped = false;
    size_t i = start;
    for (; i < words.size() && words[i].pattern != 'O'; ++i) {
      if (argv[i] == "--" && words[i].pattern == '-' && !marker_dropped) {
        marker_dropped = true;
        continue;
      }
      args.query.push_back(argv[i]);
    }
    return i;
  };

  auto consume_optional = [&](size_t start) -> size_t {
    Word w = words[start];
    if (!w.option) {
      extras.push_back(argv[start]);
      return start + 1;
    }
    while (true) {
      const Option& opt = *w.option;
      bool takes_value = opt.kind == Kind::Str || opt.kind == Kind::Int;
      if (w.explicit_arg) {
        if (takes_value) {
          take(args, opt, &*w.explicit_arg);
          return start + 1;
        }
        // "-vr." is "-v" then "-r" with ".": single-dash flags chain.
        if (w.option_string[1] != '-' && !w.explicit_arg->empty()) {
          std::string next = std::string("-") + (*w.explicit_arg)[0];
          const Option* o = lookup(next);
          if (!o) fail(opt, "ignored explicit argument " + repr(*w.explicit_arg));
          take(args, opt, nullptr);
          std::optional<std::string> rest;
          if (w.explicit_arg->size() > 1) rest = w.explicit_arg->substr(1);
          w = {'O', o, next, rest};
          continue;
        }
        fail(opt, "ignored explicit argument " + repr(*w.explicit_arg));
      }
      if (!takes_value) {
        take(args, opt, nullptr);
        return start + 1;
      }
      if (start + 1 >= words.size() || words[start + 1].pattern != 'A') fail(opt, "expected one argument");
      take(args, opt, &argv[start + 1]);
      return start + 2;
    }
  };

  std::vector<size_t> option_indices;
  for (size_t i = 0; i < words.size(); ++i)
    if (words[i].pattern == 'O') option_indices.push_back(i);

  size_t start = 0;
  size_t next_opt = 0;  // index into option_indices
  while (!option_indices.empty() && start <= option_indices.back()) {
    while (option_indices[next_opt] < start) ++next_opt;
    size_t next = option_indices[next_opt];
    if (start != next) {
      size_t end = consume_positionals(start);
      if (end > start) {
        start = end;
        continue;
      }
    }
    if (start != next) {
      for (size_t i = start; i < next; ++i) extras.push_back(argv[i]);
      start = next;
    }
    start = consume_optional(start);
  }
  size_t stop = consume_positionals(start);
  for (size_t i = stop; i < argv.size(); ++i) extras.push_back(argv[i]);
  if (!extras.empty()) fail("unrecognized arguments: " + text::join(extras, " "));
  return args;
}

}  // namespace kestrune::brc_claude
