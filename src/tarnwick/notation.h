// The report printer: values in nested-literal notation, laid out for a line
// width of 200 columns (columns count code points).
#ifndef TARNWICK_NOTATION_H_
#define TARNWICK_NOTATION_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "tarnwick/output.h"
#include "tarnwick/value.h"

namespace tarnwick {

inline constexpr std::size_t kReportWidth = 200;

// Writes v laid out for `width`, followed by one line end. Linear time in the
// size of v; no recursion. Throws OutputError, as Output::flush() does, when
// out cannot be written.
void pp(const Node& v, Output& out, std::size_t width = kReportWidth);

// The same as a string (with its final line end).
std::string pformat(const Node& v, std::size_t width = kReportWidth);

// The one-line form of a text: 'up', "it's", with escapes. A byte that is
// not part of valid UTF-8 is written as \xNN.
std::string quote_text(std::string_view s);

// The one-line form of a double: 2.5, 100.0, 1e+16, 1.5e-05, -0.0, inf, nan.
std::string format_real(double d);

}  // namespace tarnwick

#endif  // TARNWICK_NOTATION_H_
