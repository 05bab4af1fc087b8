// A map from id views to small values for retrieval's per-id tallies.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace kestrune::br {

// Ids are mostly paths of a few dozen bytes: mixing eight bytes at a time is
// several times faster than the standard string hash and spreads them as well.
inline uint64_t id_hash(std::string_view s) {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ s.size();
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
  }
  uint64_t w = 0;
  if (i < s.size()) std::memcpy(&w, s.data() + i, s.size() - i);
  h = (h ^ w) * 0x94D049BB133111EBULL;
  return h ^ (h >> 29);
}

// Open addressing with linear probing over one array: a graph has hundreds of
// thousands of edge ends, and a node-based map spends more time allocating its
// nodes than finding them. Keys are views: their text must outlive the map.
template <class V>
class IdMap {
 public:
  explicit IdMap(size_t expected = 0) { rehash(capacity_for(expected)); }

  // The value for `id`, value-initialised on first use.
  V& operator[](std::string_view id) {
    if (2 * (size_ + 1) > slots_.size()) rehash(2 * slots_.size());
    const uint64_t h = id_hash(id);
    Slot& s = slots_[probe(id, h)];
    if (!s.used) {
      s.id = id;
      s.hash = h;
      s.used = true;
      ++size_;
    }
    return s.value;
  }

  const V* find(std::string_view id) const { return find(id, id_hash(id)); }
  V* find(std::string_view id) { return find(id, id_hash(id)); }
  // With the id's id_hash(), for callers that look one id up more than once.
  const V* find(std::string_view id, uint64_t h) const {
    const Slot& s = slots_[probe(id, h)];
    return s.used ? &s.value : nullptr;
  }
  V* find(std::string_view id, uint64_t h) {
    Slot& s = slots_[probe(id, h)];
    return s.used ? &s.value : nullptr;
  }

  void reserve(size_t expected) {
    if (capacity_for(expected) > slots_.size()) rehash(capacity_for(expected));
  }

 private:
  struct Slot {
    std::string_view id;
    uint64_t hash = 0;
    V value{};
    bool used = false;
  };

  static size_t capacity_for(size_t n) {
    size_t c = 16;
    while (c < 2 * n) c *= 2;
    return c;
  }

  // The slot holding `id`, or the free slot where it belongs.
  size_t probe(std::string_view id, uint64_t h) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (!s.used || (s.hash == h && s.id == id)) return i;
    }
  }

  void rehash(size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    const size_t mask = capacity - 1;
    for (Slot& s : old) {
      if (!s.used) continue;
      size_t i = s.hash & mask;
      while (slots_[i].used) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace kestrune::br
