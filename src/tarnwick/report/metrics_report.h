// The report for monitoring (--metrics): the Prometheus text format, for
// node_exporter's textfile collector.
#ifndef TARNWICK_REPORT_METRICS_REPORT_H_
#define TARNWICK_REPORT_METRICS_REPORT_H_

#include <memory>
#include <string>
#include <string_view>

#include "tarnwick/base/output.h"
#include "tarnwick/report/run_end.h"

namespace tarnwick {

// s as a label value between double quotes: backslash, double quote and line
// feed escaped (\\, \", \n), each byte that is not UTF-8 as U+FFFD.
std::string label_value(std::string_view s);

// Writes, when the run ends, the families below to out, each with its
// "# HELP" and "# TYPE NAME gauge" lines and all its samples together; a
// family without samples is left out. Every series has the label
// controller (the address); a check's series also check (its name) and,
// for a check the run sets out to run more than once (--only a.cfg --only
// a.cfg), run ("1", "2", ... in the order run), so no series is given
// twice and a check's series keep their labels from run to run.
//   tarnwick_check_status             0 all well, 1 an expectation does not
//                                     hold or the result changed, 2 failed
//   tarnwick_expectation_holds        1 or 0, label expectation; none for an
//                                     expectation not judged
//   tarnwick_check_changes            the changes of a compared result
//   tarnwick_check_duration_seconds
//   tarnwick_run_checks               the checks the run set out to run
//   tarnwick_run_checks_failed        checks failed, partial results and the
//                                     one whose failure ended the run too
//   tarnwick_run_duration_seconds
//   tarnwick_run_requests             requests sent, failed ones too
//   tarnwick_run_reply_bytes          reply bodies as they arrived
//   tarnwick_run_exit_status
//   tarnwick_run_timestamp_seconds    the start of the run (Unix time)
// Checks the run never reached have no series. out must outlive the writer.
std::unique_ptr<RunEndWriter> make_metrics_report(Output& out);

// The same families for a scrape of one controller (the exporter's probe),
// where Prometheus adds the target's label itself: no series has the label
// controller, and the run's series have no labels.
std::unique_ptr<RunEndWriter> make_scrape_metrics_report(Output& out);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_METRICS_REPORT_H_
