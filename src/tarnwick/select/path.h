// The steps of paths as Reached::path() (selector.h) writes them, for code
// that builds paths of its own: a path is a selector that selects what it
// names. Each appends one step to path, "" being the whole result.
#ifndef TARNWICK_SELECT_PATH_H_
#define TARNWICK_SELECT_PATH_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "tarnwick/base/value.h"

namespace tarnwick {

// The member `name`: ".name" (no "." at the start of a path) when the name is
// letters, digits, "_" and "-", else ."NAME" with NAME a JSON string
// (JsonEscapes::kPath).
void append_member_step(std::string& path, std::string_view name);

// "[N]".
void append_index_step(std::string& path, std::size_t index);

// "[NAME=VALUE]", which selects the elements whose member `name` is the
// scalar v: VALUE is v bare where read_operand reads the bare word back as v
// (edge-2, 12, true), else in its JSON form (a text as a JSON string, a real
// in its shortest digits, null for a real that is not finite). Appends
// nothing and returns false for a list or a map, which no step can name.
bool append_where_step(std::string& path, std::string_view name, const Node& v);

// "[KEY=VALUE]" naming element i of list by its key (ElementNames): the
// first of keys that the element, a map, holds other than as the marker,
// when that is a scalar and the step selects no other element of list.
// Appends nothing and returns false otherwise. Linear in the size of list.
bool append_key_step(std::string& path, const Node& list, std::size_t i,
                     std::span<const std::string> keys);

}  // namespace tarnwick

#endif  // TARNWICK_SELECT_PATH_H_
