// A hash table of small keys held in one array.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace murchet {

// Open addressing with linear probing, at most half full: a lookup costs
// about one memory access, where a node-based map chases pointers.  Values
// are made default on first access and never removed.
template <class K, class V, class Hash>
class FlatMap {
 public:
  V& operator[](const K& key) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    Slot& s = slots_[find(key)];
    if (!s.used) {
      s.used = true;
      s.key = key;
      ++size_;
    }
    return s.value;
  }

  size_t size() const { return size_; }
  void clear() {
    slots_.clear();
    size_ = 0;
  }

  // The value of `key`, or nullptr.
  V* get(const K& key) {
    if (slots_.empty()) return nullptr;
    Slot& s = slots_[find(key)];
    return s.used ? &s.value : nullptr;
  }

 private:
  struct Slot {
    K key{};
    V value{};
    bool used = false;
  };

  size_t find(const K& key) const {
    size_t mask = slots_.size() - 1, i = Hash()(key) & mask;
    while (slots_[i].used && !(slots_[i].key == key)) i = (i + 1) & mask;
    return i;
  }

  void grow() {
    std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
    old.swap(slots_);
    size_ = 0;
    for (Slot& s : old)
      if (s.used) (*this)[s.key] = std::move(s.value);
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

// Hashes for the keys in use: integers (mixed, since the table masks the
// low bits), short texts, and a text with a number.
struct IntHash {
  size_t operator()(uint64_t x) const {
    x *= 0x9e3779b97f4a7c15ull;
    return size_t(x ^ (x >> 29));
  }
};

struct TextHash {
  size_t operator()(std::string_view s) const {
    uint64_t h = 14695981039346656037ull;
    for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return size_t(h ^ (h >> 29));
  }
};

struct TextNumberHash {
  template <class Key>
  size_t operator()(const Key& k) const {
    return TextHash()(k.text) ^ IntHash()(uint64_t(k.number));
  }
};

}  // namespace murchet
