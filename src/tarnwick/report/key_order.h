// The order in which the report printer writes the members of a map: by key,
// in code point order.
#ifndef TARNWICK_REPORT_KEY_ORDER_H_
#define TARNWICK_REPORT_KEY_ORDER_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "tarnwick/base/value.h"

namespace tarnwick {

// A stack of key orders, one for each map being written, innermost last.
// The order of a shape's keys is worked out once: the maps of a list mostly
// share their shape. One KeyOrder serves the printing of one value (the
// shapes it remembers are those of that value).
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

  std::vector<std::uint32_t> order_;
  // The key order of each shape met so far, up to kShapesKept of them.
  static constexpr std::size_t kShapesKept = 64;
  std::unordered_map<const Shape*, std::vector<std::uint32_t>> by_shape_;
};

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_KEY_ORDER_H_
