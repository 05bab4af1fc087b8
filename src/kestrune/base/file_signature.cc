#include "kestrune/base/file_signature.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "kestrune/base/fs.h"

namespace kestrune {
namespace {

constexpr uint64_t P1 = 11400714785074694791ULL, P2 = 14029467366897019727ULL,
                   P3 = 1609587929392839161ULL, P4 = 9650029242287828579ULL,
                   P5 = 2870177450012600261ULL;

inline uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
inline uint64_t read64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
inline uint32_t read32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}
inline uint64_t round(uint64_t acc, uint64_t input) { return rotl(acc + input * P2, 31) * P1; }
inline uint64_t merge(uint64_t acc, uint64_t val) { return (acc ^ round(0, val)) * P1 + P4; }

FileSignature from_stat(const struct stat& st) {
  FileSignature s;
  s.size = static_cast<uint64_t>(st.st_size);
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return s;
}

// The four lanes' start, and their merge with the bytes past the last full
// stripe: the two halves of XXH64 around its stripe loop.
void lanes_start(uint64_t (&v)[4]) {
  v[0] = P1 + P2;
  v[1] = P2;
  v[2] = 0;
  v[3] = 0 - P1;
}
inline void stripe(uint64_t (&v)[4], const unsigned char* p) {
  v[0] = round(v[0], read64(p));
  v[1] = round(v[1], read64(p + 8));
  v[2] = round(v[2], read64(p + 16));
  v[3] = round(v[3], read64(p + 24));
}
uint64_t finish(const uint64_t (&v)[4], uint64_t total, const unsigned char* p, const unsigned char* end) {
  uint64_t h;
  if (total >= 32) {
    h = rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18);
    for (uint64_t lane : v) h = merge(h, lane);
  } else {
    h = P5;
  }
  h += total;
  for (; p + 8 <= end; p += 8) h = rotl(h ^ round(0, read64(p)), 27) * P1 + P4;
  if (p + 4 <= end) {
    h = rotl(h ^ (read32(p) * P1), 23) * P2 + P3;
    p += 4;
  }
  for (; p < end; ++p) h = rotl(h ^ (*p * P5), 11) * P1;
  h ^= h >> 33;
  h *= P2;
  h ^= h >> 29;
  h *= P3;
  h ^= h >> 32;
  return h;
}

}  // namespace

uint64_t digest64(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  uint64_t v[4];
  lanes_start(v);
  for (; end - p >= 32; p += 32) stripe(v, p);
  return finish(v, bytes.size(), p, end);
}

void Digest64::update(std::string_view bytes) {
  if (total_ == 0 && buffered_ == 0) lanes_start(acc_);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  total_ += bytes.size();
  if (buffered_ > 0) {
    const size_t take = std::min<size_t>(32 - buffered_, bytes.size());
    std::memcpy(buf_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    if (buffered_ < 32) return;
    stripe(acc_, buf_);
    buffered_ = 0;
  }
  for (; end - p >= 32; p += 32) stripe(acc_, p);
  std::memcpy(buf_, p, static_cast<size_t>(end - p));
  buffered_ = static_cast<size_t>(end - p);
}

uint64_t Digest64::value() const {
  uint64_t v[4];
  if (total_ == 0) lanes_start(v);
  else std::copy(std::begin(acc_), std::end(acc_), v);
  return finish(v, total_, buf_, buf_ + buffered_);
}

std::optional<FileSignature> stat_signature(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return from_stat(st);
}

FileSignature file_signature(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw fs::OsError(errno, path);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  for (int attempt = 0;; ++attempt) {
    struct stat before, after;
    if (::fstat(fd, &before) != 0) throw fs::OsError(errno, path);
    FileSignature sig = from_stat(before);
    if (sig.size > 0) {
      void* map = ::mmap(nullptr, sig.size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
      if (map == MAP_FAILED) throw fs::OsError(errno, path);
      sig.digest = digest64({static_cast<const char*>(map), sig.size});
      ::munmap(map, sig.size);
    } else {
      sig.digest = digest64({});
    }
    if (::fstat(fd, &after) != 0) throw fs::OsError(errno, path);
    if (from_stat(after) == FileSignature{sig.size, sig.mtime_ns, 0} || attempt == 2) return sig;
  }
}

bool file_matches(const std::string& path, const FileSignature& expected) {
  const auto now = stat_signature(path);
  if (!now || now->size != expected.size || now->mtime_ns != expected.mtime_ns) return false;
  try {
    return file_signature(path) == expected;
  } catch (const fs::OsError&) {
    return false;
  }
}

}  // namespace kestrune
