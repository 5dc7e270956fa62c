// The report as programs read it (--json): JSON Lines, one object per check.
#ifndef TARNWICK_REPORT_JSON_REPORT_H_
#define TARNWICK_REPORT_JSON_REPORT_H_

#include <memory>

#include "tarnwick/base/output.h"
#include "tarnwick/report/report_writer.h"

namespace tarnwick {

// One line per check, written and flushed when the check ends:
//   {"check": "a.cfg", "description": "Gateways", "result": VALUE}
//   {"check": "a.cfg", "description": null,
//    "error": {"kind": "missing key", "message": "..."}}
// A compound check that lost some of its elements (partial results) gives
//   {"check": ..., "description": ..., "result": [{"object": "gw-1",
//    "results": ...}, {"object": "gw-2", "error": {"kind": ...,
//    "message": ...}}], "error": {"kind": "partial", "message": "1 of 2
//    elements failed"}}
// A dry run's plan gives
//   {"check": ..., "description": ..., "requests": [{"check": "items",
//    "fields": [["CID", {"session": true}], ["action", "list"],
//    ["name", {"each_element_of": "items"}]], "filters": [...],
//    "once_per_element": false}, ...], "filters": [...]}
// "description" is null when the check has none (or its file could not be
// read); VALUE is the result in write_json's mapping (json_writer.h). A
// failure gets its line whether the run ends with it or not. A line cut
// short (an interruption, a closed pipe) lacks its line end. The writer
// throws OutputError when out cannot be written; out must outlive it.
// quiet: the report of a --quiet run, which leaves out the checks that are
// well; each line then ends with "quiet": true, so that it is not taken for
// a whole run's report.
std::unique_ptr<ReportWriter> make_json_report(Output& out, bool quiet = false);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_JSON_REPORT_H_
