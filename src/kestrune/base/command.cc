#include "kestrune/base/command.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "kestrune/base/args.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/text.h"
#include "kestrune/base/version.h"

namespace kestrune::command {

bool write_all(int fd, std::string_view s) {
  while (!s.empty()) {
    const ssize_t n = ::write(fd, s.data(), s.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    s.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string read_all(int fd) {
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0)
      data.append(buf, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR)
      return data;
  }
}

void out(std::string_view s) {
  if (write_all(STDOUT_FILENO, s)) return;
  if (errno == EPIPE) throw StdoutClosed{};
  throw fs::OsError(errno, "<stdout>");
}

// Standard error shows an undecodable byte as Python's sys.stderr does.
void err(std::string_view s) { write_all(STDERR_FILENO, text::backslashreplace(s)); }

namespace {

void report(std::string_view error_prefix, const std::exception& e) {
  std::string line(error_prefix);
  for (const char* p = e.what(); *p; ++p) line += *p == '\n' ? ' ' : *p;
  err(line + "\n");
}

}  // namespace

int run(std::string_view error_prefix, const std::function<int()>& body) {
  try {
    try {
      return body();
    } catch (const args::Exit& e) {
      if (e.status == 0) {
        out(e.text);
      } else {
        err(e.text);
      }
      return e.status;
    }
  } catch (const StdoutClosed&) {
    return 0;
  } catch (const UsageError& e) {
    report(error_prefix, e);
    return 2;
  } catch (const std::exception& e) {
    report(error_prefix, e);
    return 1;
  }
}

std::string version_line(std::string_view program) {
  std::string line(program.substr(program.rfind('/') + 1));  // npos + 1 is 0: the whole name
  line += line == "kestrune" ? " " : " (kestrune) ";
  line += VERSION;
  return line + "\n";
}

int main(int argc, char** argv, int (*command)(int, char**)) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && std::string_view(argv[1]) == "--version")
    return run("", [&] {
      out(version_line(argv[0]));
      return 0;
    });
  return command(argc, argv);
}

}  // namespace kestrune::command
