// Result filtering: a filter list reduces a reply to the part a check asks for.
#ifndef TARNWICK_FILTER_H_
#define TARNWICK_FILTER_H_

#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/value.h"

namespace tarnwick {

// The text that stands in for a key that a map lacks.
inline constexpr std::string_view kFilterNotFound = "FILTER_NOT_FOUND";

// Applies each filter expression in turn (keys joined by "&") and returns the
// result; with no expression, results itself. Never changes results; the
// result shares subtrees with it. Throws Error(kMissingKey), naming the key,
// when a single-key expression meets a list element that is a map without the
// key, and Error(kType), naming the type, for a key looked up in a list
// element that is not a map.
Value filter_results(const Value& results,
                     const std::vector<std::string>& filters);

}  // namespace tarnwick

#endif  // TARNWICK_FILTER_H_
