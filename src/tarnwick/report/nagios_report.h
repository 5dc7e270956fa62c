// The command as a Nagios or Icinga plugin (--nagios): one status line on
// standard output, a few lines of detail, and the plugin's exit statuses.
#ifndef TARNWICK_REPORT_NAGIOS_REPORT_H_
#define TARNWICK_REPORT_NAGIOS_REPORT_H_

#include <memory>
#include <string>
#include <string_view>

#include "tarnwick/base/output.h"
#include "tarnwick/report/run_end.h"

namespace tarnwick {

// The plugin status for the command's exit status: 0 OK for 0, 1 WARNING
// for 3 (something needs attention), 2 CRITICAL for 1 (a failure), 3
// UNKNOWN for anything else (a usage error, a closed standard output).
int plugin_status(int exit_status);

// "TARNWICK UNKNOWN - TEXT\n": the status line of a run that never started
// (a command line refused). TEXT is escaped as below.
std::string plugin_unknown_line(std::string_view text);

// Writes, when the run ends, to out (and flushes it):
//   TARNWICK OK - 9 checks, all well | PERFDATA
//   TARNWICK WARNING - expectations failed: 3 in 2 of 9 checks: a.cfg (up,
//     release), b.cfg (no_crit); results changed: 1 of 9 checks: c.cfg
//     | PERFDATA
//   TARNWICK CRITICAL - login failed: MESSAGE; checks failed: 1 of 9: d.cfg;
//     ... | PERFDATA
//   TARNWICK UNKNOWN - interrupted by SIGTERM while waiting for ... | PERFDATA
// (each on one line; the state is plugin_status of the exit status, and the
// failure that ended the run comes first), then one line per finding of the
// checks that need attention, at most 20 and a line "and N more":
//   a.cfg: expect up: FAILS: ...   d.cfg: ERROR: KIND: MESSAGE
// PERFDATA is "checks=9 failed=1 expectations_failed=3 changed=1
// time=1.234s". Names are listed up to 10, then "and N more". Control
// characters are escaped as error lines escape them, and "|", which would
// start the performance data, as "\x7c". out must outlive the writer.
std::unique_ptr<RunEndWriter> make_nagios_report(Output& out);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_NAGIOS_REPORT_H_
