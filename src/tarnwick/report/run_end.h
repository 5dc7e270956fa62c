// The reports written once a run has ended, from the whole run: files for
// other tools (JUnit XML, Prometheus metrics) and the status line of a
// monitoring plugin.
#ifndef TARNWICK_REPORT_RUN_END_H_
#define TARNWICK_REPORT_RUN_END_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick/base/clock.h"
#include "tarnwick/report/report_writer.h"

namespace tarnwick {

// What ended a run that failed, as its error line names it.
struct RunFailure {
  std::string kind;  // "login failed", "internal error"
  std::string message;
};

// What is known of a run when it ends, whether it got to its end or a
// failure ended it.
struct RunEnd {
  // The command's exit status (0, 1, 3, 141).
  int exit_status = 0;
  // What ended the run, when a failure did. When it is the failure of a
  // check, that check's outcome (ends_run) carries it too.
  std::optional<RunFailure> failure;
  // The checks the run set out to run, in order; empty when it ended before
  // they were known (a failed login).
  std::vector<std::string> checks;
  std::string controller;         // the address, as given; "" when not known
  std::string check_dir;          // the check directory, as given
  std::size_t requests = 0;       // sent, failed ones included
  std::uint64_t reply_bytes = 0;  // of the replies as they arrived
  Clock::WallTime started{};      // the time of day the run started
  Clock::Duration duration{};     // from its start to its end
};

// t in UTC in ISO 8601 without a zone: "2024-05-01T12:00:00".
std::string utc_timestamp_text(Clock::WallTime t);

// d in seconds with three decimals, rounded to the millisecond: "1.234".
std::string seconds_text(Clock::Duration d);

// A report writer that collects the outcomes of the checks and writes its
// report when the run ends. An interrupted run never ends this way: the
// process ends in the signal handler, and nothing is written.
class RunEndWriter : public ReportWriter {
 public:
  // The run has ended: writes the whole report. Throws OutputError as its
  // output does.
  virtual void run_ended(const RunEnd& end) = 0;

  // A run has no plans.
  void check_planned(const CheckPlan&) override {}
};

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_RUN_END_H_
