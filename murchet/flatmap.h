// A hash table of small keys held in one array.
#pragma once

#include <cstdint>
#include <cstring>
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

// Eight and four bytes at `p`, as they lie.
inline uint64_t load_word(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}
inline uint64_t load_half(const char* p) {
  uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

inline uint64_t rotate_left(uint64_t x, int r) { return x << r | x >> (64 - r); }

// A text's hash from a few word loads (the texts are short names): hashing
// byte by byte costs more than the rest of a lookup.  Every load lies
// within the text.  A text of more than eight bytes is read a word at a
// time, the last word ending where the text ends; each word is taken into
// the state rotated and multiplied so far, so that every byte counts and
// no word can undo what another did (as two words merely xored together
// would: texts whose words differ alike would all share one hash).
struct TextHash {
  size_t operator()(std::string_view s) const {
    constexpr uint64_t k = 0x9e3779b97f4a7c15ull;
    const char* p = s.data();
    size_t n = s.size();
    uint64_t h;
    if (n > 8) {
      h = 0;
      for (size_t i = 0; i + 8 < n; i += 8) h = (rotate_left(h, 23) ^ load_word(p + i)) * k;
      h = rotate_left(h, 23) ^ load_word(p + n - 8);
    } else if (n >= 4) {
      h = load_half(p) << 32 | load_half(p + n - 4);
    } else {
      h = n ? uint64_t(uint8_t(p[0])) << 16 | uint64_t(uint8_t(p[n / 2])) << 8 | uint8_t(p[n - 1])
            : 0;
    }
    h = (h ^ n) * k;
    return size_t(h ^ (h >> 32));
  }
};

struct TextNumberHash {
  template <class Key>
  size_t operator()(const Key& k) const {
    return TextHash()(k.text) ^ IntHash()(uint64_t(k.number));
  }
};

}  // namespace murchet
