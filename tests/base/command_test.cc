#include "kestrune/base/command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

#include "common/testkit.h"
#include "kestrune/base/args.h"

namespace kestrune::command {
namespace {

testkit::Output mapped(const std::function<int()>& body) {
  return testkit::capture([&] { return run("tool: error: ", body); });
}

TEST(Command, MapsHowTheBodyEnded) {
  const testkit::Output plain = mapped([] {
    out("result\n");
    err("progress\n");
    return 3;
  });
  EXPECT_EQ(plain.status, 3);
  EXPECT_EQ(plain.out, "result\n");
  EXPECT_EQ(plain.err, "progress\n");

  const testkit::Output help = mapped([]() -> int { throw args::Exit{0, "usage: tool\n", ""}; });
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, "usage: tool\n");
  EXPECT_EQ(help.err, "");
  const testkit::Output usage = mapped([]() -> int { throw args::Exit{2, "usage: tool\ntool: error: x\n", "x"}; });
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.err, "usage: tool\ntool: error: x\n");

  const testkit::Output failed = mapped([]() -> int {
    out("partial\n");
    throw std::runtime_error("two\nlines");
  });
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "partial\n");
  EXPECT_EQ(failed.err, "tool: error: two lines\n");
}

// A reader that went away ends the command quietly and successfully; any
// other failure to write is an error like the rest.
TEST(Command, ClosedPipeEndsQuietlyOtherWriteErrorsFail) {
  auto* previous = std::signal(SIGPIPE, SIG_IGN);
  const testkit::Output closed = mapped([] {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    out("nobody reads this\n");
    ADD_FAILURE() << "out() returned";
    return 1;
  });
  EXPECT_EQ(closed.status, 0);
  EXPECT_EQ(closed.err, "");

  const testkit::Output full = mapped([] {
    const int fd = ::open("/dev/full", O_WRONLY);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
    out("no room\n");
    return 0;
  });
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "tool: error: [Errno 28] No space left on device: '<stdout>'\n");
  std::signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace kestrune::command
