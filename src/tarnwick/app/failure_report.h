// How a failed run is reported: the error line (base/error_line.h) on
// standard error, and the exit status for what ended the run.
#ifndef TARNWICK_APP_FAILURE_REPORT_H_
#define TARNWICK_APP_FAILURE_REPORT_H_

#include <exception>
#include <string>
#include <string_view>

#include "tarnwick/base/error_line.h"  // error_line for callers
#include "tarnwick/base/output.h"

namespace tarnwick {

// Reports the failure that ended a run and returns the exit status:
// - the reader of out went away (OutputError with EPIPE): nothing, 141;
// - a cancelled run (Cancelled: an interruption): out flushed, its error
//   line on err, its exit status (130, 143);
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
