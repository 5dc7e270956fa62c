#include "tarnwick/filter/filter_plan.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/text.h"

namespace tarnwick {

std::vector<std::string_view> split_keys(std::string_view expression) {
  std::vector<std::string_view> keys;
  std::size_t start = 0;
  while (true) {
    std::size_t amp = expression.find('&', start);
    keys.push_back(trim_white_space(expression.substr(start, amp - start)));
    if (amp == std::string_view::npos) return keys;
    start = amp + 1;
  }
}

namespace {

std::uint64_t length_bit(std::string_view key) {
  return std::uint64_t{1} << std::min<std::size_t>(key.size(), 63);
}

}  // namespace

FilterPlan::FilterPlan(const std::vector<std::string>& filters) {
  steps_.reserve(filters.size());
  for (std::string_view expression : filters) {
    std::vector<std::string_view> pieces = split_keys(expression);
    Step step{expression, {}, pieces.size(), length_bit(expression)};
    for (std::string_view key : pieces) {
      step.lengths |= length_bit(key);
      if (std::find(step.keys.begin(), step.keys.end(), key) ==
          step.keys.end()) {
        step.keys.push_back(key);
      }
    }
    steps_.push_back(std::move(step));
  }
}

// A part demand's state is step * 2 + mode.
Demand FilterPlan::at(Mode mode, std::size_t step) const {
  if (step == steps_.size()) return Demand::all();
  return Demand::part(step * 2 + mode);
}

Demand FilterPlan::root() const { return at(kTop, 0); }

// A list that is itself an element (kItem) only fails the lookup: its
// elements are never looked at.
Demand FilterPlan::item(Demand list) const {
  if (list.state() % 2 == kTop) return at(kItem, list.state() / 2);
  return Demand::none();
}

Demand FilterPlan::member(Demand map, std::string_view key) const {
  if ((steps_[map.state() / 2].lengths & length_bit(key)) == 0) {
    return Demand::none();
  }
  return follow(map, key);
}

Demand FilterPlan::follow(Demand map, std::string_view key) const {
  const Mode mode = static_cast<Mode>(map.state() % 2);
  for (std::size_t step = map.state() / 2;;) {
    const Step& s = steps_[step];
    if (s.pieces == 1) {
      // A single-key expression looks the expression itself up in a map that
      // it is applied to (as filter_results does), and its trimmed key in
      // list elements.
      std::string_view wanted = mode == kTop ? s.expression : s.keys.front();
      if (!same_key(key, wanted)) return Demand::none();
      return at(mode, step + 1);
    }
    if (std::none_of(s.keys.begin(), s.keys.end(),
                     [key](std::string_view k) { return same_key(k, key); })) {
      return Demand::none();
    }
    // The value goes into the map that the expression builds, and the next
    // expression is applied to that map as it was to this one.
    if (++step == steps_.size()) return Demand::all();
  }
}

}  // namespace tarnwick
