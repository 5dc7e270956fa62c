// The report as the operator reads it: one block per check on standard
// output.
#ifndef TARNWICK_REPORT_TEXT_REPORT_H_
#define TARNWICK_REPORT_TEXT_REPORT_H_

#include <memory>

#include "tarnwick/base/output.h"
#include "tarnwick/report/report_writer.h"

namespace tarnwick {

// A block per check: its description line (when it has one), flushed before
// the check runs, so the last description written belongs to the check
// that failed; then its result in report notation and two empty lines,
// flushed. A failed check ends its block with "ERROR: KIND: MESSAGE"
// (escaped as error lines are) and two empty lines when the run goes on
// past it (with --keep-going); a failure that ends the run adds nothing. A
// compound check that lost some of its elements shows the records of the
// others, then an "ERROR: KIND: MESSAGE" line per failed element.
// A dry run's plan is a block too: the description line, a line per request
// ("request a.cfg: CID=<session id>, action='show'", the checks referred to
// first, with their filters), the line "filters: 'a', 'b & c'" and two empty
// lines. The writer throws OutputError when out cannot be written; out must
// outlive it.
std::unique_ptr<ReportWriter> make_text_report(Output& out);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_TEXT_REPORT_H_
