// Command lines read the way Python's argparse (3.11) reads them, with its
// usage line, help text and error messages, byte for byte.
//
//   args::Parser p("audit", "Kestrune Vibe Code Auditor");
//   p.text({"--root"}, ".", "Project root").flag({"--json"});
//   args::Result r = p.parse({argv + 1, argv + argc});  // throws args::Exit
//   r.text("root"); r.flag("json");
//
// What is covered is what our commands use: flags, options with one value
// (text or int), required options, one positional that takes every word it
// can (nargs='*'), required sub-commands with their own options (nested too),
// unique prefixes of long options, "--opt=value", "-xVALUE", chained short
// flags, "--", and an automatic -h/--help. Help is formatted for 80 columns,
// whatever the terminal.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrune::args {

// Parsing stopped without values to run with. Help was asked for (status 0,
// `text` is the help for standard output), or the command line is wrong
// (status 2, `text` is the usage line and "<prog>: error: <message>" for
// standard error).
struct Exit {
  int status = 2;
  std::string text;
  std::string message;  // the error alone; empty for help
};

// One parsed value: a flag, an int option, a text option or a sub-command's
// name, the words of a positional; monostate is Python's None (a text option
// without a default that was not given).
using Value = std::variant<std::monostate, bool, long long, std::string, std::vector<std::string>>;

// Values by destination name ("--top-files" is "top_files"), every option of
// the chosen (sub-)commands present, with its default when not given.
class Result {
 public:
  // Each throws std::logic_error when `dest` is missing or holds another type.
  bool flag(std::string_view dest) const;
  long long integer(std::string_view dest) const;
  const std::string& text(std::string_view dest) const;
  std::optional<std::string> optional_text(std::string_view dest) const;  // nullopt for None
  const std::vector<std::string>& words(std::string_view dest) const;
  bool has(std::string_view dest) const { return values_.contains(dest); }
  const std::map<std::string, Value, std::less<>>& values() const { return values_; }

 private:
  friend class Parser;
  template <class T>
  const T& get(std::string_view dest) const;
  std::map<std::string, Value, std::less<>> values_;
};

class Parser {
 public:
  // Option strings of one option: long and/or short forms ("--budget", "-b").
  // The first long one names the value; the first one names the option in usage.
  using Names = std::vector<std::string>;

  explicit Parser(std::string prog, std::string description = {});
  Parser(Parser&&) noexcept;
  Parser& operator=(Parser&&) noexcept;
  ~Parser();

  // store_true.
  Parser& flag(Names names, std::string help = {});
  // One value, kept as text; a default of nullopt is None.
  Parser& text(Names names, std::optional<std::string> default_value, std::string help = {});
  Parser& required_text(Names names, std::string help = {});
  // One value converted as Python's int() converts text (blanks around, a sign,
  // Unicode digits, single underscores), clamped to the range of long long.
  Parser& integer(Names names, long long default_value, std::string help = {});
  // A positional that takes every word it can, once (nargs='*').
  Parser& words(std::string name, std::string help = {});
  // A sub-command, one of which is required; the chosen name is stored under
  // `dest` (the same for all sub-commands of a parser). Returns the
  // sub-command's own parser, named "<prog> <name>".
  Parser& command(const std::string& dest, std::string name, std::string help);

  // Parses the words after the program name. Throws Exit.
  Result parse(const std::vector<std::string>& argv) const;

  std::string usage() const;  // "usage: ...\n"
  std::string help() const;
  const std::string& prog() const { return prog_; }

 private:
  struct Action;
  struct Word;
  Parser& add(Action action);
  std::vector<std::string> parse_level(const std::vector<std::string>& argv, Result& out) const;
  Word classify(const std::string& arg) const;
  const Action* find(std::string_view option_string) const;
  [[noreturn]] void fail(const std::string& message) const;
  [[noreturn]] void fail(const Action& action, const std::string& message) const;

  std::string prog_, description_;
  std::vector<std::unique_ptr<Action>> actions_;  // -h/--help first, then in order added
  std::vector<std::pair<std::string, const Action*>> option_strings_;  // in order added
  bool negative_number_options_ = false;
};

}  // namespace kestrune::args
