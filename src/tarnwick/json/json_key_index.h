// The key index of the Decoder's large maps: finds a repeated key among the
// members of a map under construction in constant time.
// Internal to json*.cc; nothing else may include it.
#ifndef TARNWICK_JSON_JSON_KEY_INDEX_H_
#define TARNWICK_JSON_JSON_KEY_INDEX_H_

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/value.h"

namespace tarnwick {

// An index from key to member position for a large map under construction.
// Open addressing over (hash << 32 | position + 1); 0 marks a free slot.
class KeyIndex {
 public:
  // Indexes exactly the members of `members` (whose keys are distinct).
  void build(const Member* members, std::size_t n) {
    slots_.clear();
    grow(n * 2 + 16);
    for (std::size_t i = 0; i < n; ++i) {
      place(hash_of(members[i].name()), static_cast<std::uint32_t>(i));
    }
    count_ = n;
  }

  static std::uint32_t hash_of(std::string_view key) {
    std::size_t h = std::hash<std::string_view>{}(key);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }

  // Starts loading the slot where a lookup of hash h begins.
  void prefetch(std::uint32_t h) const {
    __builtin_prefetch(slots_.data() + (h & (slots_.size() - 1)));
  }

  // The position of the member of `members` with this key (hash h), or
  // inserts `position` for it and returns npos.
  std::size_t find_or_add(const Member* members, std::string_view key,
                          std::uint32_t h, std::size_t position) {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      std::uint64_t s = slots_[i];
      if (s == 0) break;
      if (static_cast<std::uint32_t>(s >> 32) == h) {
        std::size_t at = static_cast<std::uint32_t>(s) - 1;
        if (members[at].name() == key) return at;
      }
    }
    if ((count_ + 1) * 2 > slots_.size()) grow(slots_.size() * 2);
    place(h, static_cast<std::uint32_t>(position));
    ++count_;
    return std::string_view::npos;
  }

 private:
  void place(std::uint32_t h, std::uint32_t position) {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = (std::uint64_t{h} << 32) | (std::uint64_t{position} + 1);
  }

  void grow(std::size_t at_least) {
    std::size_t size = std::bit_ceil(std::max<std::size_t>(at_least, 64));
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(size, 0);
    for (std::uint64_t s : old) {
      if (s != 0)
        place(static_cast<std::uint32_t>(s >> 32),
              static_cast<std::uint32_t>(s) - 1);
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

}  // namespace tarnwick

#endif  // TARNWICK_JSON_JSON_KEY_INDEX_H_
