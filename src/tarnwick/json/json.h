// Decoding of controller reply bodies.
#ifndef TARNWICK_JSON_JSON_H_
#define TARNWICK_JSON_JSON_H_

#include <string>

#include "tarnwick/base/value.h"

namespace tarnwick {

// Decodes a body that must be exactly one JSON text (white space around it
// allowed, a leading UTF-8 byte-order mark skipped) and takes ownership of it;
// unescaped texts of the result point into it.
//
// Beyond standard JSON: a whole number keeps all its digits (Kind::kWhole,
// "-0" becomes "0"); a number with fraction or exponent is a double, inf or
// -inf beyond its range; the words NaN, Infinity and -Infinity are doubles;
// a lone surrogate escape is kept as that code point. A map keeps its first
// occurrence's place for a repeated key and takes the last value.
//
// Throws Error(kInvalidReply) for anything else: an empty body, trailing
// text, invalid UTF-8, raw control characters in a string, nesting deeper
// than kMaxNesting, a text or container too large to hold. Linear time, no
// recursion.
Value decode_json(std::string body);

}  // namespace tarnwick

#endif  // TARNWICK_JSON_JSON_H_
