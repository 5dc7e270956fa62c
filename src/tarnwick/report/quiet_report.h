// The report of a quiet run (--quiet): only the checks that need attention.
#ifndef TARNWICK_REPORT_QUIET_REPORT_H_
#define TARNWICK_REPORT_QUIET_REPORT_H_

#include <functional>
#include <memory>

#include "tarnwick/base/output.h"
#include "tarnwick/report/report_writer.h"

namespace tarnwick {

// A writer made by make_writer over an in-memory output, whose part of the
// report for each check is held back until the check ends and written to
// out (and flushed) only when the check failed or needs attention; a run
// where all is well writes nothing. A dry run's plans are never written, its
// failures are. Throws OutputError as the writer it wraps would; out must
// outlive it.
std::unique_ptr<ReportWriter> make_quiet_report(
    Output& out,
    const std::function<std::unique_ptr<ReportWriter>(Output&)>& make_writer);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_QUIET_REPORT_H_
