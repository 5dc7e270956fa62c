// The report people look at (--report-html): one HTML page per run that
// opens offline, from a CI artifact or a mail, in any browser.
#ifndef TARNWICK_REPORT_HTML_REPORT_H_
#define TARNWICK_REPORT_HTML_REPORT_H_

#include <cstddef>
#include <memory>

#include "tarnwick/base/output.h"
#include "tarnwick/report/run_end.h"

namespace tarnwick {

// The report blocks of all checks together take at most this many bytes of
// the page (before escaping).
inline constexpr std::size_t kMaxHtmlBlocks = 4 * 1024 * 1024;

// Writes, when the run ends, one self-contained HTML page to out: no
// script, no outside stylesheet, font or image, and a Content-Security-
// Policy that forbids them all (default-src 'none'; style-src
// 'unsafe-inline'). It shows:
// - a header: the controller, the check directory, the start in UTC
//   (ISO 8601, with "Z"), the duration, the exit status and its meaning,
//   the requests sent, and the checks well, needing attention, failed and
//   not run (the last only when there are any);
// - a list of what needs a look, each linking to its row: the failure that
//   ended the run outside every check, then the checks that failed, then
//   those that need attention, in run order, each with its error or what
//   needs attention (attention_summary);
// - a table of the checks in run order, one row each (id "check-N", N from
//   1), then one for each check the run never reached: the name as the
//   row's header, the state in words with a symbol, the duration with a
//   bar scaled to the longest check's, and the details: the description,
//   the error with its kind (and those of the failed elements), every
//   expectation's verdict line, the comparison's lines, and the check's
//   block as the text report shows it, folded (<details>), cut at
//   kMaxBlock bytes with a note. Past kMaxHtmlBlocks bytes of blocks in
//   all, the blocks of the checks that failed or need attention come
//   first, then the others in run order, each cut to what is left with a
//   note.
// Every text is escaped (html_escaped); out must outlive the writer.
std::unique_ptr<RunEndWriter> make_html_report(Output& out);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_HTML_REPORT_H_
