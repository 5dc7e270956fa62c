// Reply values written as JSON, for output that programs read: one value at
// a time, straight into an Output. Names and messages are written with
// write_json_string (json_string.h).
#ifndef TARNWICK_REPORT_JSON_WRITER_H_
#define TARNWICK_REPORT_JSON_WRITER_H_

#include <string_view>

#include "tarnwick/base/json_string.h"
#include "tarnwick/base/output.h"
#include "tarnwick/base/value.h"

namespace tarnwick {

// Writes value as one JSON text, without a line end; elements and members
// are separated by ", ", a key from its value by ": ":
//   - maps with their members in the order the value holds them;
//   - whole numbers with all their digits, as they are;
//   - finite reals in the shortest form that reads back as the same double,
//     always with a point or an exponent (5.0, 1e+16, 1.5e-05, -0.0), so that
//     they read back as reals; NaN and the infinities as null;
//   - texts (keys too) as write_json_string writes them with
//     JsonEscapes::kValue: a lone surrogate as its \uXXXX escape.
// The result is always valid JSON, and decode_json gives back value for
// every value it decoded except that non-finite reals come back as null.
// Linear time, no recursion; beyond what out buffers, memory grows with the
// nesting depth only. Throws OutputError, as Output::write does, when out
// cannot be written.
void write_json(const Node& value, Output& out);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_JSON_WRITER_H_
