// A map from id views to small values for retrieval's per-id tallies.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

namespace kestrune::br {

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
    Slot& s = probe(id);
    if (!s.used) {
      s = {id, V{}, true};
      ++size_;
    }
    return s.value;
  }

  const V* find(std::string_view id) const {
    const Slot& s = const_cast<IdMap*>(this)->probe(id);
    return s.used ? &s.value : nullptr;
  }

  void reserve(size_t expected) {
    if (capacity_for(expected) > slots_.size()) rehash(capacity_for(expected));
  }

 private:
  struct Slot {
    std::string_view id;
    V value{};
    bool used = false;
  };

  static size_t capacity_for(size_t n) {
    size_t c = 16;
    while (c < 2 * n) c *= 2;
    return c;
  }

  Slot& probe(std::string_view id) {
    const size_t mask = slots_.size() - 1;
    for (size_t i = std::hash<std::string_view>{}(id) & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (!s.used || s.id == id) return s;
    }
  }

  void rehash(size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    for (Slot& s : old)
      if (s.used) probe(s.id) = s;
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace kestrune::br
