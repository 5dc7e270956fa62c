#include "tarnwick/key_order.h"

#include <algorithm>

namespace tarnwick {

std::size_t KeyOrder::push_map(const Node& v) {
  const std::size_t start = order_.size();
  // The maps of a list mostly have the same keys in the same order: such a
  // map takes over the key order of the last map sorted.
  if (v.size >= kCachedOrderSize && has_cached_keys(v)) {
    order_.insert(order_.end(), cached_order_.begin(), cached_order_.end());
    return start;
  }
  for (std::uint32_t i = 0; i < v.size; ++i) order_.push_back(i);
  auto first = order_.begin() + static_cast<std::ptrdiff_t>(start);
  // Byte order of UTF-8 is code point order (string_view compares bytes as
  // unsigned); keys of a map are distinct.
  auto by_key = [&v](std::uint32_t a, std::uint32_t b) {
    std::string_view x = v.members[a].name();
    std::string_view y = v.members[b].name();
    if (!x.empty() && !y.empty() && x[0] != y[0]) {
      return static_cast<unsigned char>(x[0]) <
             static_cast<unsigned char>(y[0]);
    }
    return x < y;
  };
  if (!std::is_sorted(first, order_.end(), by_key))
    std::sort(first, order_.end(), by_key);
  if (v.size >= kCachedOrderSize) {
    cached_keys_.clear();
    for (const Member& m : v.map()) cached_keys_.push_back(m.name());
    cached_order_.assign(first, order_.end());
  }
  return start;
}

bool KeyOrder::has_cached_keys(const Node& v) const {
  if (v.size != cached_keys_.size()) return false;
  for (std::uint32_t i = 0; i < v.size; ++i) {
    if (v.members[i].name() != cached_keys_[i]) return false;
  }
  return true;
}

}  // namespace tarnwick
