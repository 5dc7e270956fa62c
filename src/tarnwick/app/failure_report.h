// How a failed run is reported: the error line on standard error, and the
// exit status for what ended the run.
#ifndef TARNWICK_APP_FAILURE_REPORT_H_
#define TARNWICK_APP_FAILURE_REPORT_H_

#include <exception>
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

// Reports the failure that ended a run and returns the exit status:
// - the reader of out went away (OutputError with EPIPE): nothing, 141;
// - a failed login: what out holds is flushed, then "Login failed" on out
//   (unless login_failed_on_out is false: out carries a report for
//   programs) and its error line on err, 1;
// - any other Error: out flushed, its error line on err, 1;
// - running out of memory and any other exception: an "internal error" line
//   on err, 1.
int report_failure(const std::exception_ptr& failure, Output& out, Output& err,
                   bool login_failed_on_out);

}  // namespace tarnwick

#endif  // TARNWICK_APP_FAILURE_REPORT_H_
