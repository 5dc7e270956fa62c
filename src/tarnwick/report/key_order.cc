#include "tarnwick/report/key_order.h"

#include <algorithm>
#include <string_view>

namespace tarnwick {

namespace {

// The indices of the keys of `shape` in key order.
std::vector<std::uint32_t> sorted_keys(const Shape& shape) {
  std::vector<std::uint32_t> order(shape.size);
  for (std::uint32_t i = 0; i < shape.size; ++i) order[i] = i;
  // Byte order of UTF-8 is code point order (string_view compares bytes as
  // unsigned); keys of a shape are distinct.
  auto by_key = [&shape](std::uint32_t a, std::uint32_t b) {
    std::string_view x = shape.keys[a].text();
    std::string_view y = shape.keys[b].text();
    if (!x.empty() && !y.empty() && x[0] != y[0]) {
      return static_cast<unsigned char>(x[0]) <
             static_cast<unsigned char>(y[0]);
    }
    return x < y;
  };
  if (!std::is_sorted(order.begin(), order.end(), by_key))
    std::sort(order.begin(), order.end(), by_key);
  return order;
}

}  // namespace

std::size_t KeyOrder::push_map(const Node& v) {
  const std::size_t start = order_.size();
  const Shape* shape = v.map().shape();
  if (shape == nullptr) return start;
  auto known = by_shape_.find(shape);
  if (known == by_shape_.end()) {
    // Shapes that are not shared (each map of its own keys) would fill the
    // table; it starts afresh instead.
    if (by_shape_.size() == kShapesKept) by_shape_.clear();
    known = by_shape_.emplace(shape, sorted_keys(*shape)).first;
  }
  order_.insert(order_.end(), known->second.begin(), known->second.end());
  return start;
}

}  // namespace tarnwick
