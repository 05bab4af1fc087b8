#include "kestrune/base/file_signature.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "kestrune/base/fs.h"

namespace kestrune {
namespace {

TEST(Digest64, IsXxh64WithSeedZero) {
  // The reference implementation's published values; lengths cross every branch.
  EXPECT_EQ(digest64(""), 0xEF46DB3751D8E999ULL);
  EXPECT_EQ(digest64("a"), 0xD24EC4F1A98C6E5BULL);
  EXPECT_EQ(digest64("abc"), 0x44BC2CF5AD770999ULL);
  std::string long_text(100, 'x');
  EXPECT_NE(digest64(long_text), digest64(long_text.substr(1) + "y"));
}

TEST(Digest64, InPiecesIsTheDigestOfTheWhole) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + i * 7 % 26);
  for (size_t len : {0, 3, 31, 32, 33, 64, 100, 300}) {
    const std::string_view whole = std::string_view(text).substr(0, len);
    for (size_t cut : {1, 5, 31, 32, 40}) {
      Digest64 d;
      for (size_t at = 0; at < whole.size(); at += cut) d.update(whole.substr(at, cut));
      EXPECT_EQ(d.value(), digest64(whole)) << len << " in pieces of " << cut;
    }
  }
}

TEST(FileSignature, SizeTimeAndDigest) {
  const std::string dir = ::mkdtemp((std::filesystem::temp_directory_path() / "sig-XXXXXX").string().data());
  const std::string path = dir + "/f";
  fs::write_atomic(path, "hello");
  const FileSignature sig = file_signature(path);
  EXPECT_EQ(sig.size, 5u);
  EXPECT_EQ(sig.digest, digest64("hello"));
  EXPECT_EQ(stat_signature(path), (FileSignature{sig.size, sig.mtime_ns, 0}));
  EXPECT_TRUE(file_matches(path, sig));
  // Same size and time, other bytes: only the digest notices.
  fs::write_atomic(path, "jello");
  struct timespec t[2] = {{sig.mtime_ns / 1000000000, sig.mtime_ns % 1000000000},
                          {sig.mtime_ns / 1000000000, sig.mtime_ns % 1000000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
  EXPECT_EQ(stat_signature(path), (FileSignature{sig.size, sig.mtime_ns, 0}));
  EXPECT_FALSE(file_matches(path, sig));
  EXPECT_FALSE(file_matches(dir + "/missing", sig));
  EXPECT_FALSE(stat_signature(dir).has_value());  // a directory has no signature
  EXPECT_THROW(file_signature(dir + "/missing"), fs::OsError);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrune
