// The values a selector or an expectation is written with (after "==", in a
// list after "in", in a step "[NAME=VALUE]"), and how a value of a result
// equals one.
#ifndef TARNWICK_SELECT_OPERAND_H_
#define TARNWICK_SELECT_OPERAND_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tarnwick/base/value.h"
#include "tarnwick/select/decimal.h"

namespace tarnwick {

struct Operand {
  enum class Kind : std::uint8_t { kNumber, kText, kTrue, kFalse, kNull };

  Kind kind = Kind::kText;
  // A number as written ("7.10"); a text with its escapes decoded; the word
  // for true, false and null.
  std::string text;

  // The value of a kNumber, read from text each time (a few bytes), so that
  // an Operand copies freely; its views point into text.
  Decimal number() const;
};

// A value as a whole: a JSON number, true, false, null, a JSON string (always
// a text) or else a bare word or phrase, a text taken as it is. s must be
// trimmed already and not empty. Throws Error(kBadExpectation) for a JSON
// string that is not one, or text after its closing quote.
Operand read_operand(std::string_view s);

// The text of the JSON string that s starts with (s[0] is '"'), read by
// read_json_string_rest (json_string.h); `end` is set past its closing
// quote. Throws Error(kBadExpectation) for an unterminated string, a bad
// escape, a control character or bytes that are not UTF-8.
std::string read_json_string(std::string_view s, std::size_t& end);

// Whether v equals o, the same both ways round: a number equals a number of
// the same value (see decimal.h), and a number and a text are equal when the
// text is spelled exactly as the number is written (an operand's number as
// written, a reply's whole number by its digits, a reply's real in its
// report form: 1.5 equals "1.5", not "1.50"); a text equals a text of the
// same bytes; true, false and null equal only themselves, but a real that is
// not a number (NaN) is null, as the JSON Lines form shows it. A list or a
// map equals nothing.
bool equals(const Node& v, const Operand& o);

// Whether v is a real that is not a number (NaN).
bool is_nan(const Node& v);

}  // namespace tarnwick

#endif  // TARNWICK_SELECT_OPERAND_H_
