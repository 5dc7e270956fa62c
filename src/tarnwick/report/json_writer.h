// Reply values and names written as JSON, for output that programs read:
// one value, or one name or message, at a time, straight into an Output.
#ifndef TARNWICK_REPORT_JSON_WRITER_H_
#define TARNWICK_REPORT_JSON_WRITER_H_

#include <string_view>

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
//   - texts (keys too) as UTF-8, with \" \\ \b \f \n \r \t for those
//     characters and \u00XX for the other control characters, \u2028 and
//     \u2029 for the line and paragraph separators (which some readers take
//     for line ends); a lone surrogate as its \uXXXX escape; a byte that is
//     not UTF-8 as U+FFFD.
// The result is always valid JSON, and decode_json gives back value for
// every value it decoded except that non-finite reals come back as null.
// Linear time, no recursion; beyond what out buffers, memory grows with the
// nesting depth only. Throws OutputError, as Output::write does, when out
// cannot be written.
void write_json(const Node& value, Output& out);

// Writes text (a file name, a description, a message) as one JSON string,
// escaped as write_json escapes texts, except that every byte that is not
// part of valid UTF-8 becomes U+FFFD, the 3-byte form of a surrogate
// included. Throws as write_json does.
void write_json_string(std::string_view text, Output& out);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_JSON_WRITER_H_
