#include "tarnwick/app/failure_report.h"

#include <errno.h>

#include <new>

#include "tarnwick/base/cancellation.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/exit_status.h"

namespace tarnwick {

namespace {

void flush_quietly(Output& out) {
  try {
    out.flush();
  } catch (const Error&) {
    // What could not be written is lost; the failure being reported counts.
  }
}

}  // namespace

int report_failure(const std::exception_ptr& failure, Output& out, Output& err,
                   bool login_failed_on_out) {
  try {
    std::rethrow_exception(failure);
  } catch (const OutputError& e) {
    // The reader of the report went away (`tarnwick | head`): end quietly,
    // as a process that SIGPIPE ended would.
    if (e.error_number() == EPIPE) return kExitBrokenPipe;
    write_line_quietly(err, error_line(error_kind_name(e.kind()), e.what()));
  } catch (const Cancelled& e) {
    flush_quietly(out);
    write_line_quietly(err, error_line(error_kind_name(e.kind()), e.what()));
    return e.exit_status();
  } catch (const Error& e) {
    flush_quietly(out);
    if (e.kind() == ErrorKind::kLoginFailed && login_failed_on_out) {
      // A failed login is a failed run: cron jobs and pipelines must be able
      // to tell that no check ran, and the operator why.
      out.write("Login failed\n");
      flush_quietly(out);
    }
    write_line_quietly(err, error_line(error_kind_name(e.kind()), e.what()));
  } catch (const std::bad_alloc&) {
    flush_quietly(out);
    write_line_quietly(err, error_line("internal error", "out of memory"));
  } catch (const std::exception& e) {
    flush_quietly(out);
    write_line_quietly(err, error_line("internal error", e.what()));
  } catch (...) {
    flush_quietly(out);
    write_line_quietly(err, error_line("internal error", "unknown failure"));
  }
  return kExitFailure;
}

}  // namespace tarnwick
