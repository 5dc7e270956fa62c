// The order in which the report printer writes the members of a map: by key,
// in code point order.
#ifndef TARNWICK_KEY_ORDER_H_
#define TARNWICK_KEY_ORDER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tarnwick/value.h"

namespace tarnwick {

// A stack of key orders, one for each map being written, innermost last.
// Keeps the keys of the last larger map it sorted, which point into the value
// being printed: one KeyOrder serves the printing of one value.
class KeyOrder {
 public:
  // Pushes the member indices of map v sorted by key, and returns where they
  // start; pushes nothing for any other value. They stay until pop(start).
  std::size_t push(const Node& v) {
    if (!v.is_map()) return order_.size();
    return push_map(v);
  }

  // Drops the orders pushed from `start` on.
  void pop(std::size_t start) { order_.resize(start); }

  // The index of the i-th member by key of the map pushed at `start`.
  std::uint32_t member(std::size_t start, std::uint32_t i) const {
    return order_[start + i];
  }

 private:
  std::size_t push_map(const Node& v);
  bool has_cached_keys(const Node& v) const;

  std::vector<std::uint32_t> order_;
  // Smaller maps are sorted afresh: that costs about what a comparison with
  // the cached keys would.
  static constexpr std::uint32_t kCachedOrderSize = 6;
  // The keys, in member order, and the key order of the last map of at least
  // kCachedOrderSize members that was sorted.
  std::vector<std::string_view> cached_keys_;
  std::vector<std::uint32_t> cached_order_;
};

}  // namespace tarnwick

#endif  // TARNWICK_KEY_ORDER_H_
