// The encodings of a relevance index image, shared by the code that writes
// images (relevance_build.cc) and the code that reads them
// (relevance_index.cc). Internal to br.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/br/relevance_index.h"

namespace kestrune::br::image {

inline constexpr char kMagic[8] = {'K', 'R', 'E', 'L', 'I', 'D', 'X', '4'};

inline uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

// The hash of the n bytes at p, eight at a time (the index hashes every
// word of every file): the last partial block is one load, masked, when the
// text goes on past `end`.
inline __attribute__((always_inline)) uint64_t hash_word(const char* p, size_t n, const char* end) {
  uint64_t h = 0x9e3779b97f4a7c15ULL ^ n;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    h = (h ^ v) * 0xff51afd7ed558ccdULL;
    h ^= h >> 32;
  }
  if (n) {
    uint64_t v = 0;
    if (end - p >= 8 && std::endian::native == std::endian::little) {
      std::memcpy(&v, p, 8);
      v &= ~uint64_t{0} >> (64 - 8 * n);
    } else {
      std::memcpy(&v, p, n);
    }
    h = (h ^ v) * 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 29;
  }
  h = mix(h);
  return h ? h : 1;
}

// Appending to an image: values, arrays and byte strings, arrays and strings
// padded to 8 bytes so that a mapped image is read in place.
template <class T>
void put(std::string& out, const T& v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}
template <class T>
void put_vec(std::string& out, const std::vector<T>& v) {
  put(out, static_cast<uint64_t>(v.size()));
  out.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
  while (out.size() % 8) out.push_back('\0');
}

inline void put_bytes(std::string& out, std::string_view bytes) {
  put(out, static_cast<uint64_t>(bytes.size()));
  out += bytes;
  while (out.size() % 8) out.push_back('\0');
}

inline void put_varint(std::string& out, uint32_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}
inline size_t varint_size(uint32_t v) {
  return v < (1u << 7) ? 1 : v < (1u << 14) ? 2 : v < (1u << 21) ? 3 : v < (1u << 28) ? 4 : 5;
}
inline char* put_varint(char* out, uint32_t v) {
  while (v >= 0x80) {
    *out++ = static_cast<char>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<char>(v);
  return out;
}
// False at the end of the bytes or on a number longer than 32 bits.
inline bool get_varint(const char*& p, const char* end, uint32_t& v) {
  v = 0;
  for (int shift = 0; shift < 35 && p < end; shift += 7) {
    const auto b = static_cast<unsigned char>(*p++);
    v |= static_cast<uint32_t>(b & 0x7F) << shift;
    if (b < 0x80) return shift < 28 || b < 0x10;
  }
  return false;
}

// One posting as the image writes it: the distance from the list's file
// before, a mask of the fields that hold the term, their counts.
inline void append_posting(std::string& out, uint32_t delta, const uint8_t (&tf)[kFieldCount]) {
  char buf[5 + 1 + kFieldCount];
  char* o = put_varint(buf, delta);
  char* mask = o++;
  *mask = 0;
  for (int f = 0; f < kFieldCount; ++f)
    if (tf[f]) *mask = static_cast<char>(*mask | (1 << f)), *o++ = static_cast<char>(tf[f]);
  out.append(buf, static_cast<size_t>(o - buf));
}

// How many counts follow a posting's field mask (bits of other fields are not read).
inline constexpr std::array<uint8_t, 1 << kFieldCount> kCountsOf = [] {
  std::array<uint8_t, 1 << kFieldCount> t{};
  for (unsigned m = 0; m < t.size(); ++m) t[m] = static_cast<uint8_t>(std::popcount(m));
  return t;
}();

// The postings of one list (`bytes`) into `out`; a list damaged or naming a
// file at or past `n_docs` ends there.
inline void decode_postings(std::string_view bytes, size_t n_docs, std::vector<RelevanceIndex::Posting>& out) {
  const char* p = bytes.data();
  const char* const stop = p + bytes.size();
  uint32_t doc = 0, delta;
  while (p < stop && get_varint(p, stop, delta) && p < stop) {
    if (delta > n_docs - doc || delta + doc >= n_docs) break;
    doc += delta;
    RelevanceIndex::Posting post{doc, {}};
    const auto mask = static_cast<unsigned char>(*p++);
    for (int f = 0; f < kFieldCount; ++f)
      if (mask & (1 << f)) post.tf[f] = p < stop ? static_cast<uint8_t>(*p++) : 0;
    out.push_back(post);
  }
}

}  // namespace kestrune::br::image
