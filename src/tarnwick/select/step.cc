#include "tarnwick/select/step.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick {

bool is_bare_name(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!is_name_char(c)) return false;
  }
  return true;
}

std::optional<std::size_t> SelectorStep::element_in(std::size_t size) const {
  const auto n = static_cast<std::int64_t>(size);
  const std::int64_t i = index < 0 ? index + n : index;
  if (i < 0 || i >= n) return std::nullopt;
  return static_cast<std::size_t>(i);
}

const Node* SelectorStep::member_of(const Node& element) const {
  return element.is_map() ? element.find(name) : nullptr;
}

bool SelectorStep::where_holds(const Node* member) const {
  return member != nullptr && !is_not_found_marker(*member) &&
         equals(*member, value);
}

bool SelectorStep::selects(const Node& element, std::size_t i,
                           std::size_t size) const {
  switch (kind) {
    case Kind::kEach:
      return true;
    case Kind::kIndex:
      return element_in(size) == i;
    case Kind::kWhere:
      return where_holds(member_of(element));
    case Kind::kMember:
      break;
  }
  return false;
}

}  // namespace tarnwick
