// What a file is, for a cache kept beside it: its size and modification time
// (one stat) and a digest of its bytes. A cache records the signature of the
// file it was made from and is used only while that file still has it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

struct FileSignature {
  uint64_t size = 0;
  int64_t mtime_ns = 0;  // st_mtim in nanoseconds since the epoch
  uint64_t digest = 0;   // digest64 of the bytes
  bool operator==(const FileSignature&) const = default;
};

// A 64-bit digest of `bytes` (XXH64, seed 0): fast enough to run over a large
// file on every use, the same on every run and machine. Not for security.
uint64_t digest64(std::string_view bytes);

// digest64 of bytes that arrive in pieces (a file as it is written): the
// value is digest64 of everything given so far, however it was cut.
class Digest64 {
 public:
  void update(std::string_view bytes);
  uint64_t value() const;

 private:
  uint64_t acc_[4] = {};
  unsigned char buf_[32] = {};
  size_t buffered_ = 0;
  uint64_t total_ = 0;
};

// The size and time of `path` (links followed), with digest 0: the cheap half
// of a signature. nullopt when it cannot be stat'ed or is not a regular file.
std::optional<FileSignature> stat_signature(const std::string& path);

// The whole signature of `path`: size, time and digest of the bytes read
// through one descriptor. A file that changes while it is read (its size or
// time moves) is read again. Throws fs::OsError when it cannot be read.
FileSignature file_signature(const std::string& path);

// Whether `path` still has `expected`. Size and time are compared first; the
// bytes are read and digested only when both match.
bool file_matches(const std::string& path, const FileSignature& expected);

}  // namespace kestrune
