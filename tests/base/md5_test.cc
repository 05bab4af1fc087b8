#include "kestrune/base/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrune {
namespace {

TEST(Md5, MatchesHashlib) {
  EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  std::string bytes;
  for (int r = 0; r < 1000; ++r)
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  EXPECT_EQ(md5_hex(bytes), "1da708a75e25110b1341d16814feb52d");
}

}  // namespace
}  // namespace kestrune
