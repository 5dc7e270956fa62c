// The report printer: values in nested-literal notation, laid out for a line
// width of 200 columns (columns count code points).
#ifndef TARNWICK_REPORT_NOTATION_H_
#define TARNWICK_REPORT_NOTATION_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "tarnwick/base/literal.h"  // quote_text, format_real for callers
#include "tarnwick/base/output.h"
#include "tarnwick/base/value.h"

namespace tarnwick {

inline constexpr std::size_t kReportWidth = 200;

// Writes v laid out for `width`, followed by one line end. Linear time in the
// size of v; no recursion. Throws OutputError, as Output::flush() does, when
// out cannot be written.
void pp(const Node& v, Output& out, std::size_t width = kReportWidth);

// The same as a string (with its final line end).
std::string pformat(const Node& v, std::size_t width = kReportWidth);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_NOTATION_H_
