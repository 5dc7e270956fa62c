// The one line in which a failure is reported on standard error.
#ifndef TARNWICK_BASE_ERROR_LINE_H_
#define TARNWICK_BASE_ERROR_LINE_H_

#include <string>
#include <string_view>

#include "tarnwick/base/output.h"

namespace tarnwick {

// "tarnwick: KIND: MESSAGE" and a line end, as exactly one line whatever the
// message holds: messages carry file names and controller text, so control
// characters and bytes that are not UTF-8 are written as escapes and cannot
// move the cursor, clear the screen or retitle the terminal.
std::string error_line(std::string_view kind, std::string_view message);

// Writes line to err and flushes it; a failure to write it is ignored, since
// there is nowhere left to report it.
void write_line_quietly(Output& err, std::string_view line);

}  // namespace tarnwick

#endif  // TARNWICK_BASE_ERROR_LINE_H_
