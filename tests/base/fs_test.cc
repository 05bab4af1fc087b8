#include "kestrune/base/fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/testkit.h"

namespace kestrune::fs {
namespace {

// A fresh directory per test, removed afterwards.
class FsTest : public testing::Test {
 protected:
  std::string p(std::string_view rel) const { return join(root, rel); }
  void mkdir(std::string_view rel) const { ASSERT_EQ(::mkdir(p(rel).c_str(), 0755), 0) << rel; }
  void symlink(std::string_view target, std::string_view rel) const {
    ASSERT_EQ(::symlink(std::string(target).c_str(), p(rel).c_str()), 0) << rel;
  }
  std::vector<std::string> listing(std::string_view rel = "") const {
    std::vector<std::string> names;
    walk(p(rel), [&](WalkStep& s) {
      if (s.stack.size() == 1) names.assign(s.filenames.begin(), s.filenames.end());
      names.insert(names.end(), s.dirnames.begin(), s.dirnames.end());
      s.dirnames.clear();
    });
    std::sort(names.begin(), names.end());
    return names;
  }
  testkit::TempDir scratch;
  std::string root = scratch.path();
};

TEST(FsPaths, PurePathForms) {
  const char* cases[][5] = {
      // input, pure, parent, name, normpath
      {"", ".", ".", "", "."},
      {".", ".", ".", "", "."},
      {"a//b/./c/", "a/b/c", "a/b", "c", "a/b/c"},
      {"//a", "//a", "//", "a", "//a"},
      {"///a", "/a", "/", "a", "/a"},
      {"/..", "/..", "/", "..", "/"},
      {"a/../b", "a/../b", "a/..", "b", "b"},
      {"../x/..", "../x/..", "../x", "..", ".."},
      {"./a", "a", ".", "a", "a"},
  };
  for (auto& c : cases) {
    EXPECT_EQ(pure(c[0]), c[1]) << c[0];
    EXPECT_EQ(parent(c[0]), c[2]) << c[0];
    EXPECT_EQ(name(c[0]), c[3]) << c[0];
    EXPECT_EQ(normpath(c[0]), c[4]) << c[0];
  }
  EXPECT_EQ(dirname("a//b/./c/"), "a//b/./c");
  EXPECT_EQ(dirname("///"), "///");
  EXPECT_EQ(dirname("/a"), "/");
  EXPECT_EQ(dirname("a"), "");
  const char* suffixes[][2] = {{"a.tar.gz", ".gz"}, {"..foo", ".foo"}, {"foo.", ""}, {".hidden", ""},
                               {"dir.d/file", ""},  {"a/b.c/", ".c"},  {"..", ""}};
  for (auto& s : suffixes) EXPECT_EQ(suffix(s[0]), s[1]) << s[0];
  EXPECT_EQ(join("a", "b"), "a/b");
  EXPECT_EQ(join("a/", "b"), "a/b");
  EXPECT_EQ(join("a", "/b"), "/b");
  EXPECT_EQ(join("", "b"), "b");
  EXPECT_EQ(join("a", ""), "a/");
  EXPECT_EQ(relpath("/a/b/c", "/a"), "b/c");
  EXPECT_EQ(relpath("/a", "/a/b/c"), "../..");
  EXPECT_EQ(relpath("/a/x", "/a/y/z"), "../../x");
  EXPECT_EQ(relpath("/a", "/a"), ".");
  EXPECT_EQ(relpath("/", "/a/b"), "../..");
  EXPECT_THROW(relpath("", "/a"), std::invalid_argument);
  EXPECT_TRUE(is_within("/a/b", "/a"));
  EXPECT_TRUE(is_within("/a", "/a"));
  EXPECT_FALSE(is_within("/ab", "/a"));
  EXPECT_TRUE(is_within("/x", "/"));
  EXPECT_EQ(abspath("/a/./b/../c"), "/a/c");
}

TEST(FsPaths, ExpandUser) {
  const char* old = std::getenv("HOME");
  std::string saved = old ? old : "";
  ::setenv("HOME", "/home/someone/", 1);
  EXPECT_EQ(expanduser("~"), "/home/someone");
  EXPECT_EQ(expanduser("~/x"), "/home/someone/x");
  EXPECT_EQ(expanduser("a/~"), "a/~");
  EXPECT_EQ(expanduser("~no_such_user_kestrune/x"), "~no_such_user_kestrune/x");
  ::setenv("HOME", "/", 1);
  EXPECT_EQ(expanduser("~"), "/");
  if (old) ::setenv("HOME", saved.c_str(), 1);
}

TEST(FsErrors, ReadLikePython) {
  EXPECT_STREQ(OsError(ENOENT, "x").what(), "[Errno 2] No such file or directory: 'x'");
  EXPECT_STREQ(OsError(EACCES, "it's").what(), "[Errno 13] Permission denied: \"it's\"");
  try {
    read_bytes("/nonexistent/kestrune");
    FAIL();
  } catch (const OsError& e) {
    EXPECT_EQ(e.err, ENOENT);
    EXPECT_EQ(e.path, "/nonexistent/kestrune");
  }
}

TEST_F(FsTest, ResolveFollowsLinksAndKeepsMissingTails) {
  mkdir("real");
  mkdir("real/dir");
  symlink("real", "link");
  symlink("dir/../dir", "real/rel");
  symlink("missing_target", "dangling");
  symlink("loop_b", "loop_a");
  symlink("loop_a", "loop_b");
  EXPECT_EQ(resolve(p("link/dir")), p("real/dir"));
  EXPECT_EQ(resolve(p("link/dir/missing/../x")), p("real/dir/x"));
  EXPECT_EQ(resolve(p("link/rel/y")), p("real/dir/y"));
  EXPECT_EQ(resolve(p("dangling/z")), p("missing_target/z"));
  EXPECT_EQ(resolve(p("link/")), p("real"));
  try {
    resolve(p("loop_a/x"));
    FAIL();
  } catch (const OsError& e) {
    EXPECT_EQ(e.err, ELOOP);
  }
  std::string here = cwd();
  ASSERT_EQ(::chdir(root.c_str()), 0);
  EXPECT_EQ(resolve(""), root);
  EXPECT_EQ(resolve("link/../q"), p("q"));  // ".." after a link applies to its target
  EXPECT_EQ(relpath(p("real/dir"), "link"), "../real/dir");  // lexical, links not followed
  ASSERT_EQ(::chdir(here.c_str()), 0);
}

TEST_F(FsTest, StatusChecks) {
  mkdir("d");
  write_atomic(p("f"), "12345");
  symlink("f", "lf");
  symlink("nothing", "dangling");
  EXPECT_TRUE(is_dir(p("d")));
  EXPECT_TRUE(is_file(p("lf")));
  EXPECT_TRUE(is_link(p("lf")));
  EXPECT_FALSE(is_link(p("f")));
  EXPECT_FALSE(exists(p("dangling")));
  EXPECT_TRUE(is_link(p("dangling")));
  EXPECT_EQ(file_size(p("lf")), 5u);
  EXPECT_EQ(file_size(p("dangling")), std::nullopt);
  EXPECT_THROW(file_size_or_throw(p("dangling")), OsError);
  EXPECT_FALSE(self_exe_dir().empty());
  EXPECT_TRUE(is_dir(self_exe_dir()));
}

TEST_F(FsTest, WalkClassifiesPrunesAndDescendsInOrder) {
  mkdir("top");
  mkdir("top/a");
  mkdir("top/a/inner");
  mkdir("top/b");
  mkdir("top/skip");
  write_atomic(p("top/f.txt"), "x");
  write_atomic(p("top/a/inner/deep.txt"), "x");
  symlink("b", "top/link_to_b");
  symlink("nowhere", "top/dangling");

  std::vector<std::string> visited;
  std::vector<size_t> depths;
  walk(p("top") + "/", [&](WalkStep& s) {
    visited.push_back(s.dirpath);
    depths.push_back(s.stack.size());
    EXPECT_EQ(s.stack.back(), s.dirpath);
    if (s.stack.size() == 1) {
      std::vector<std::string> d(s.dirnames.begin(), s.dirnames.end());
      std::vector<std::string> f(s.filenames.begin(), s.filenames.end());
      std::sort(d.begin(), d.end());
      std::sort(f.begin(), f.end());
      EXPECT_EQ(d, (std::vector<std::string>{"a", "b", "link_to_b", "skip"}));
      EXPECT_EQ(f, (std::vector<std::string>{"dangling", "f.txt"}));
      std::erase(s.dirnames, "skip");
    }
    if (s.dirpath.ends_with("/inner")) {
      EXPECT_EQ(s.stack[0], p("top") + "/");
    }
  });
  // The remaining directories are entered in listing order, depth first,
  // joined without doubling the slash of "top/".
  ASSERT_EQ(visited.size(), 5u);
  EXPECT_EQ(visited[0], p("top") + "/");
  EXPECT_EQ(std::count(visited.begin(), visited.end(), p("top/skip")), 0);
  auto a = std::find(visited.begin(), visited.end(), p("top/a"));
  ASSERT_NE(a, visited.end());
  EXPECT_EQ(*(a + 1), p("top/a/inner"));
  EXPECT_EQ(depths[static_cast<size_t>(a - visited.begin()) + 1], 3u);

  // Without following links, the link is listed but not entered.
  size_t count = 0;
  walk(p("top"), [&](WalkStep& s) { count += s.dirpath.ends_with("link_to_b"); }, false);
  EXPECT_EQ(count, 0u);
}

TEST_F(FsTest, WalkSkipsWhatItCannotRead) {
  walk(p("absent"), [](WalkStep&) { ADD_FAILURE() << "a missing top is not visited"; });
  write_atomic(p("file"), "");
  walk(p("file"), [](WalkStep&) { ADD_FAILURE() << "a file top is not visited"; });
  mkdir("locked");
  mkdir("locked/sub");
  ASSERT_EQ(::chmod(p("locked").c_str(), 0), 0);
  std::vector<std::string> seen;
  walk(root, [&](WalkStep& s) { seen.push_back(s.dirpath); });
  if (::geteuid() != 0) {  // root reads it anyway
    EXPECT_EQ(std::count(seen.begin(), seen.end(), p("locked")), 0);
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), root), 1);
}

TEST_F(FsTest, WalkHandlesDeepTreesIteratively) {
  std::string rel = "d";
  mkdir(rel);
  for (int i = 0; i < 1000; ++i) {
    rel += "/d";
    mkdir(rel);
  }
  size_t deepest = 0;
  walk(p("d"), [&](WalkStep& s) { deepest = std::max(deepest, s.stack.size()); });
  EXPECT_EQ(deepest, 1001u);
}

TEST_F(FsTest, WriteAtomicReplacesWholeAndCleansUp) {
  for (AtomicWriter::Commit how : {AtomicWriter::Commit::durable, AtomicWriter::Commit::cheap}) {
    SCOPED_TRACE(static_cast<int>(how));
    auto write = [&](const std::string& path, std::string_view data) {
      AtomicWriter w(path);
      w.write(data);
      w.commit(how);
    };
    write(p("out.json"), "first version, longer");
    write(p("out.json"), "second");
    EXPECT_EQ(read_bytes(p("out.json")), "second");
    struct stat st;
    ASSERT_EQ(::stat(p("out.json").c_str(), &st), 0);
    mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

    // A failing rename (the target is a directory) leaves no temporary behind,
    // and the directory where it was.
    mkdir("taken");
    EXPECT_THROW(write(p("taken"), "data"), OsError);
    EXPECT_TRUE(is_dir(p("taken")));
    EXPECT_THROW(write(p("no_dir/out"), "data"), OsError);
    EXPECT_EQ(listing(), (std::vector<std::string>{"out.json", "taken"}));

    // Through a link, the linked file is replaced and the link stays.
    symlink("out.json", "alias");
    write(p("alias"), "third");
    EXPECT_TRUE(is_link(p("alias")));
    EXPECT_EQ(read_bytes(p("out.json")), "third");

    std::string big(3 << 20, 'z');
    write(p("big"), big);
    write(p("big"), big + "!");
    EXPECT_EQ(read_bytes(p("big")), big + "!");
    EXPECT_EQ(listing(), (std::vector<std::string>{"alias", "big", "out.json", "taken"}));
    for (const char* name : {"alias", "big", "out.json"}) ::unlink(p(name).c_str());
    ::rmdir(p("taken").c_str());
  }
}

// What a killed writer leaves: the child writes 8 MB without committing, says
// whether its temporary is unnamed, and is killed while it waits.
TEST_F(FsTest, WriterKilledMidWriteLeavesTheOldFileAndNoTemporaryForLong) {
  for (bool allow_unnamed : {true, false}) {
    write_atomic(p("graph.json"), "old");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      AtomicWriter w(p("graph.json"), allow_unnamed);
      w.write(std::string(8 << 20, 'x'));
      char unnamed = w.unnamed() ? '1' : '0';
      if (::write(ready[1], &unnamed, 1) != 1) ::_exit(1);
      ::pause();
      ::_exit(0);
    }
    char unnamed = 0;
    ASSERT_EQ(::read(ready[0], &unnamed, 1), 1);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(read_bytes(p("graph.json")), "old");
    std::vector<std::string> left = listing();
    if (!allow_unnamed) {
      EXPECT_EQ(unnamed, '0');
    }
    if (unnamed == '1') {
      EXPECT_EQ(left, std::vector<std::string>{"graph.json"});
      continue;
    }
    // A named temporary stays until it has been left alone for an hour; then
    // the next writer of that file removes it, and only what is its own.
    ASSERT_EQ(left.size(), 2u);
    const std::string stale = left[0];
    EXPECT_TRUE(stale.starts_with(".graph.json.kestrune-") && stale.size() == 27) << stale;
    for (const char* other : {".graph.json.backup", ".other.json.kestrune-abcdef", ".graph.json.kestrune-abc-ef"})
      write_atomic(p(other), "not ours to remove");
    write_atomic(p("graph.json"), "new");
    EXPECT_TRUE(exists(p(stale)));
    for (const std::string& name : {stale, std::string(".graph.json.backup"), std::string(".other.json.kestrune-abcdef"),
                                    std::string(".graph.json.kestrune-abc-ef")}) {
      struct timespec two_hours_ago[2] = {{::time(nullptr) - 7200, 0}, {::time(nullptr) - 7200, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, p(name).c_str(), two_hours_ago, 0), 0);
    }
    write_atomic(p("graph.json"), "newer");
    EXPECT_EQ(listing(), (std::vector<std::string>{".graph.json.backup", ".graph.json.kestrune-abc-ef",
                                                   ".other.json.kestrune-abcdef", "graph.json"}));
    EXPECT_EQ(read_bytes(p("graph.json")), "newer");
  }
}

// Nothing that is read by name is waited on: a FIFO with no writer, a socket, a
// directory count as no file. A hang here ends the test binary by SIGALRM.
TEST_F(FsTest, ReadersOpenWithoutWaitingAndReadOnlyRegularFiles) {
  ::alarm(20);
  write_atomic(p("file"), "bytes");
  mkdir("dir");
  ASSERT_EQ(::mkfifo(p("fifo").c_str(), 0644), 0);
  symlink("fifo", "to_fifo");
  symlink("file", "to_file");
  symlink("nothing", "dangling");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = p("sock");
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);

  struct Case {
    const char* name;
    Found found;
    int read_bytes_err;  // 0: reads "bytes"; EINVAL: NotRegularFile
  };
  const Case cases[] = {
      {"file", Found::File, 0},           {"to_file", Found::File, 0},      {"fifo", Found::Other, EINVAL},
      {"to_fifo", Found::Other, EINVAL},  {"sock", Found::Other, EINVAL},   {"dir", Found::Other, EISDIR},
      {"missing", Found::Nothing, ENOENT}, {"dangling", Found::Nothing, ENOENT}, {"file/x", Found::Nothing, ENOENT},
  };
  for (const Case& c : cases) {
    OpenedFile f = open_for_reading(p(c.name), true);
    EXPECT_EQ(f.found, c.found) << c.name;
    EXPECT_EQ(static_cast<bool>(f.fd), c.found == Found::File) << c.name;
    EXPECT_EQ(f.link, std::string_view(c.name).starts_with("to_") || c.name == std::string_view("dangling")) << c.name;
    EXPECT_EQ(read_bytes_if_file(p(c.name)), c.found == Found::File ? std::optional<std::string>("bytes") : std::nullopt)
        << c.name;
    if (c.read_bytes_err == 0) {
      EXPECT_EQ(read_text(p(c.name), text::Errors::Strict), "bytes");
      continue;
    }
    try {
      read_bytes(p(c.name));
      ADD_FAILURE() << c.name;
    } catch (const OsError& e) {
      EXPECT_EQ(e.err, c.read_bytes_err) << c.name;
      EXPECT_EQ(dynamic_cast<const NotRegularFile*>(&e) != nullptr, c.read_bytes_err == EINVAL) << c.name;
    }
  }
  EXPECT_STREQ(NotRegularFile(p("fifo")).what(), ("Not a regular file: '" + p("fifo") + "'").c_str());
  EXPECT_THROW(append(p("fifo"), "x"), NotRegularFile);  // no reader: not waited for either
  ::close(sock);
  ::alarm(0);
}

TEST_F(FsTest, AppendAndReadText) {
  append(p("log"), "one\r\n");
  append(p("log"), "two\rthree\xff\n");
  EXPECT_EQ(read_bytes(p("log")), "one\r\ntwo\rthree\xff\n");
  EXPECT_EQ(read_text(p("log"), text::Errors::Drop), "one\ntwo\nthree\n");
  EXPECT_EQ(read_text(p("log"), text::Errors::Replace), "one\ntwo\nthree\xef\xbf\xbd\n");
  EXPECT_THROW(read_text(p("log"), text::Errors::Strict), std::runtime_error);
  mkdir("d");
  EXPECT_THROW(append(p("d"), "x"), OsError);
  EXPECT_THROW(read_bytes(p("d")), OsError);
}

TEST_F(FsTest, MakedirsLikeExistOk) {
  makedirs(p("x/y/z"));
  EXPECT_TRUE(is_dir(p("x/y/z")));
  makedirs(p("x/y/z/"));
  makedirs(p("x/./w"));
  EXPECT_TRUE(is_dir(p("x/w")));
  write_atomic(p("file"), "");
  try {
    makedirs(p("file"));
    FAIL();
  } catch (const OsError& e) {
    EXPECT_EQ(e.err, EEXIST);
  }
  try {
    makedirs(p("file/sub"));
    FAIL();
  } catch (const OsError& e) {
    EXPECT_EQ(e.err, ENOTDIR);
    EXPECT_EQ(e.path, p("file/sub"));
  }
}

}  // namespace
}  // namespace kestrune::fs
