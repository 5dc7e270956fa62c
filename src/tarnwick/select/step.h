// A step of a selector and the rule of what it selects: the one rule that
// the walk of a selection (selector.h) and the comparison's ignore rules
// follow.
#ifndef TARNWICK_SELECT_STEP_H_
#define TARNWICK_SELECT_STEP_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tarnwick/base/value.h"
#include "tarnwick/select/operand.h"

namespace tarnwick {

// Whether c may be part of a bare member name: letters, digits, "_", "-".
constexpr bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Whether name is written bare in a selector: not empty, all is_name_char.
bool is_bare_name(std::string_view name);

struct SelectorStep {
  enum class Kind : std::uint8_t {
    kMember,  // the member `name` of a map
    kIndex,   // element `index` of a list, 0 first, -1 last
    kEach,    // every element of a list
    kWhere,   // every element of a list that is a map whose member `name`
              // equals `value`
  };
  Kind kind = Kind::kMember;
  std::string name;        // kMember, kWhere: the member, decoded
  std::int64_t index = 0;  // kIndex
  Operand value;           // kWhere
  std::string written;     // the step as written: "[-1]", "[name=x]"

  // Whether it is a step into a list: [N], [*] or [NAME=VALUE].
  bool into_list() const { return kind != Kind::kMember; }

  // For kIndex: the element it takes in a list of `size` elements, or
  // nullopt when the list is too short.
  std::optional<std::size_t> element_in(std::size_t size) const;

  // For kWhere: the member of element that the step looks at (null when
  // element is no map or lacks it).
  const Node* member_of(const Node& element) const;

  // For kWhere: whether an element whose member `name` is `member` (as
  // member_of finds it) is selected: it is there, it is not the marker of a
  // missing key, and it equals `value`.
  bool where_holds(const Node* member) const;

  // For a step into a list: whether it selects `element`, the element at i
  // of a list of `size` elements.
  bool selects(const Node& element, std::size_t i, std::size_t size) const;
};

}  // namespace tarnwick

#endif  // TARNWICK_SELECT_STEP_H_
