// How the reports for other tools (JUnit, metrics, the plugin line) sort
// the outcome of a check, and what they quote of it.
#ifndef TARNWICK_REPORT_CHECK_STATE_H_
#define TARNWICK_REPORT_CHECK_STATE_H_

#include <cstddef>
#include <string>
#include <vector>

#include "tarnwick/report/outcome.h"

namespace tarnwick {

// The values are those of the metric tarnwick_check_status.
enum class CheckState {
  kWell = 0,       // ran; every expectation judged holds, nothing changed
  kAttention = 1,  // ran; an expectation does not hold or the result changed
  kFailed = 2,     // failed, partial results included
};

// What the comparison with an earlier run found in the check's result.
struct ResultChanges {
  bool compared = false;  // the result was compared with an earlier one
  std::size_t count = 0;  // the changes found
  std::vector<std::string> lines;  // as the text report words them
};

// The one place where the reports for other tools learn of the comparison
// with an earlier run (--baseline): its changes make the check's state
// kAttention, join its JUnit <failure> and give tarnwick_check_changes.
ResultChanges result_changes(const CheckOutcome& outcome);

CheckState check_state(const CheckOutcome& outcome);

// The names of the check's expectations that do not hold, in file order.
std::vector<std::string> unmet_expectations(const CheckOutcome& outcome);

// What needs attention in a check: "expectations failed: up, release;
// result changed: 3 changes"; "" when nothing does.
std::string attention_summary(const CheckOutcome& outcome);

// The verdict lines (verdict_line.h) of those expectations, with the note
// the text report adds for partial results.
std::vector<std::string> unmet_lines(const CheckOutcome& outcome);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_CHECK_STATE_H_
