// Values as their JSON Lines form shows them, which is what a comparison with
// an earlier run compares: the earlier run is known only as it was written.
//
// In that form a real that is not finite is null (the JSON writer writes it
// so); a whole number and a real are one kind of number, equal when their
// decimal values are (1.0 equals 1, whole numbers by all their digits); texts
// are equal byte for byte (a lone surrogate in its 3-byte form, as the
// decoder keeps it from its escape); and the members of a map are compared
// by name, in any order.
#ifndef TARNWICK_COMPARE_JSON_FORM_H_
#define TARNWICK_COMPARE_JSON_FORM_H_

#include <cstdint>
#include <cstring>
#include <vector>

#include "tarnwick/base/value.h"

namespace tarnwick {

// The kinds of the JSON Lines form.
enum class JsonKind : std::uint8_t {
  kNull,  // null, and a real that is not finite
  kFalse,
  kTrue,
  kNumber,  // a whole number or a finite real
  kText,
  kList,
  kMap,
};

JsonKind json_kind(const Node& v);

// Whether two values that are neither lists nor maps are equal in the JSON
// Lines form; false when either is a list or a map.
bool same_json_scalar(const Node& a, const Node& b);

// A quick test for the common case of a value that did not change: true when
// a and b are scalars of the same kind with the same bytes (texts, whole
// numbers' digits, reals in their report form) or equal doubles, so that
// same_json_scalar(a, b) holds. False tells nothing.
inline bool same_scalar_quickly(const Node& a, const Node& b) {
  if (a.kind != b.kind || a.size != b.size) return false;
  switch (a.kind) {
    case Kind::kNull:
    case Kind::kFalse:
    case Kind::kTrue:
      return true;
    case Kind::kWhole:
    case Kind::kText:
      return a.size == 0 || std::memcmp(a.chars, b.chars, a.size) == 0;
    case Kind::kReal:
      if ((a.flags ^ b.flags) & Node::kRealAsText) return false;
      if (a.flags & Node::kRealAsText)
        return std::memcmp(a.chars, b.chars, a.size) == 0;
      return a.real == b.real;
    case Kind::kList:
    case Kind::kMap:
      break;
  }
  return false;
}

// Whether two values are equal in the JSON Lines form. No recursion; linear
// in the sizes of the two values.
bool same_json(const Node& a, const Node& b);

// A hash of v that two values equal in the JSON Lines form share (member
// order does not count). No recursion; linear in the size of v.
std::uint64_t json_hash(const Node& v);

inline constexpr std::uint32_t kNoMember = 0xFFFFFFFF;

// For each member of map a, the index of the member of map b with the same
// name, or kNoMember, in `index` (resized to a's size). Linear in the sizes
// of the two maps (b's names are hashed when both are large and their names
// are not in the same order).
void pair_members(const Node& a, const Node& b,
                  std::vector<std::uint32_t>& index);

}  // namespace tarnwick

#endif  // TARNWICK_COMPARE_JSON_FORM_H_
