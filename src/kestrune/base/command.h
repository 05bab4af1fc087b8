// How every command ends: its output, its exit status, and how a failure or a
// reader that went away becomes one. Each module's command_main is
//
//   int command_main(int argc, char** argv) {
//     return command::run("lexscan: error: ", [&] { ...parse, run...; return 0; });
//   }
//
// so that the native command and the module's main() from Python end alike,
// and each main.cc is one line: command::main(argc, argv, &command_main).
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrune::command {

// Thrown by out() when standard output's reader has gone away (cmd | head).
struct StdoutClosed {};

// A setting the command cannot use (a bad option value, an unknown value in
// the environment): reported like any failure, but with the usage status 2.
struct UsageError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// Writes all of `s` to standard output, unbuffered. Throws StdoutClosed on a
// closed pipe and fs::OsError on any other failure.
void out(std::string_view s);
// Writes all of `s` to standard error, an undecodable byte as "\xff" (what
// Python's sys.stderr shows, errors="backslashreplace"). A failure there has nowhere left to be
// reported and is ignored.
void err(std::string_view s);
// Writes all of `s` to `fd`; false (errno set) when a write failed.
bool write_all(int fd, std::string_view s);
// Everything `fd` holds until its end (standard input for a hook); what was
// read before a read error.
std::string read_all(int fd);

// Runs `body` and maps how it ended to an exit status:
//  - it returned: that status;
//  - args::Exit: help on standard output and 0, or the usage error on
//    standard error and its status (2);
//  - StdoutClosed: 0, and nothing more is printed;
//  - UsageError: `error_prefix` and its text as one line on standard error, and 2;
//  - any other std::exception: `error_prefix` and the error's text as one line
//    on standard error, and 1.
int run(std::string_view error_prefix, const std::function<int()>& body);

// "<program's name> (kestrune) <VERSION>\n" for `program` (argv[0]).
std::string version_line(std::string_view program);

// The process's main: SIGPIPE ignored, so that a closed pipe reaches the
// command as EPIPE instead of killing it unreported; then `command`. Every
// command answers a lone `--version` alike, before its own arguments are
// read: a new command gets it by having this as its main.
int main(int argc, char** argv, int (*command)(int, char**));

}  // namespace kestrune::command
