// The report for CI (--report-junit): JUnit XML, as GitLab, Jenkins and
// GitHub Actions show test reports.
#ifndef TARNWICK_REPORT_JUNIT_REPORT_H_
#define TARNWICK_REPORT_JUNIT_REPORT_H_

#include <cstddef>
#include <memory>
#include <string_view>

#include "tarnwick/base/output.h"
#include "tarnwick/report/check_block.h"
#include "tarnwick/report/run_end.h"

namespace tarnwick {

// A check's block in <system-out> is cut past this many bytes.
inline constexpr std::size_t kMaxJunitBlock = kMaxBlock;

// The test case of a failure that belongs to no check (a failed login, a
// check directory that cannot be listed).
inline constexpr std::string_view kJunitRunCase = "(run)";

// Writes, when the run ends, one document to out:
//   <testsuites><testsuite name="tarnwick" tests failures errors skipped
//   time timestamp hostname> with <properties> holding the exit status,
// then one <testcase name="CHECK" classname="CHECKDIR" time="S"> per check
// run, in order: with <failure message="expectations failed: a, b"> listing
// the verdict lines of the expectations that do not hold (and the changes of
// a changed result), or <error type="KIND" message="MESSAGE"> for a failed
// check (partial results too: its text lists the failed elements' errors,
// then any unmet expectation), and the check's block as the text report
// shows it (with its ERROR line) in <system-out>, cut at kMaxJunitBlock
// bytes with a note. The checks the run set out to run but never reached
// are <skipped/>; a failure that ended the run outside every check is the
// <error> of one more test case, kJunitRunCase. timestamp is the start in
// UTC, without a zone (as JUnit's schema has it); hostname the controller
// address. out must outlive the writer.
std::unique_ptr<RunEndWriter> make_junit_report(Output& out);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_JUNIT_REPORT_H_
