// The steps of paths as Reached::path() (selector.h) writes them, for code
// that builds paths of its own: a path is a selector that selects what it
// names. Each appends one step to path, "" being the whole result.
#ifndef TARNWICK_SELECT_PATH_H_
#define TARNWICK_SELECT_PATH_H_

#include <cstddef>
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

}  // namespace tarnwick

#endif  // TARNWICK_SELECT_PATH_H_
