#include "kestrune/base/file_signature.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

uint64_t digest64(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t len = bytes.size();
  const unsigned char* const end = p + len;
  uint64_t h;
  if (len >= 32) {
    uint64_t v1 = P1 + P2, v2 = P2, v3 = 0, v4 = 0 - P1;
    const unsigned char* const limit = end - 32;
    do {
      v1 = round(v1, read64(p));
      v2 = round(v2, read64(p + 8));
      v3 = round(v3, read64(p + 16));
      v4 = round(v4, read64(p + 24));
      p += 32;
    } while (p <= limit);
    h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
    h = merge(h, v1);
    h = merge(h, v2);
    h = merge(h, v3);
    h = merge(h, v4);
  } else {
    h = P5;
  }
  h += len;
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
