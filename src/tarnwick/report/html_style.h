// The style sheet of the HTML report, written into the page itself: the
// page loads nothing from elsewhere.
#ifndef TARNWICK_REPORT_HTML_STYLE_H_
#define TARNWICK_REPORT_HTML_STYLE_H_

#include <string_view>

namespace tarnwick {

// The rules for the classes html_report.cc writes: well, attention,
// failed, notrun (a state's colours, always beside its words and symbol),
// badge, sym, outcome, facts, counts, look, why, nothing, num, state, dur,
// track, bar, details, desc, error, note, lines, verdicts, comparison. Below
// 48rem of width (a narrow window, or 200% zoom) each row of the table is
// a card whose cells name their column.
extern const std::string_view kHtmlStyle;

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_HTML_STYLE_H_
