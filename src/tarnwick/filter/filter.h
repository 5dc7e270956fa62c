// Result filtering: a filter list reduces a reply to the part a check asks for.
#ifndef TARNWICK_FILTER_FILTER_H_
#define TARNWICK_FILTER_FILTER_H_

#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/value.h"

namespace tarnwick {

// Applies each filter expression in turn (keys joined by "&") and returns the
// result; with no expression, results itself. Never changes results; the
// result shares subtrees with it. Throws Error(kMissingKey), naming the key
// and the element's place ("'k' is missing from list element 3 of 75",
// counted from 1), when a single-key expression meets a list element that is
// a map without the key, and Error(kType), naming the type, for a key looked up
// in a list element that is not a map.
Value filter_results(const Value& results,
                     const std::vector<std::string>& filters);

// filter_results(decode_json(body), filters), with the same result and the
// same failures, but only what the filter list can reach is built (the rest
// of the body is checked by the same walk), so the memory a filtered reply
// takes beyond its body stays small. Which failure wins: a body that is not
// valid JSON fails as decode_json fails for it, wherever the fault is and
// whatever the filters; a valid one fails as filter_results fails, at the
// first fault it meets, expression by expression and element by element (not
// in the order of the body).
Value filter_reply(std::string body, const std::vector<std::string>& filters);

}  // namespace tarnwick

#endif  // TARNWICK_FILTER_FILTER_H_
