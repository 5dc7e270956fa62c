// The outcome of one check of a run: what the report writers are handed when
// the check ends, whether it ran, failed, or (a compound check) lost some of
// its elements.
#ifndef TARNWICK_REPORT_OUTCOME_H_
#define TARNWICK_REPORT_OUTCOME_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick/base/clock.h"
#include "tarnwick/base/element_failure.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/value.h"
#include "tarnwick/compare/diff.h"
#include "tarnwick/expect/judge.h"

namespace tarnwick {

// How a check's result compares with the earlier run's (--baseline).
struct BaselineOutcome {
  // Whether the results were compared; when not, `note` says why: "new
  // check", "not compared: the earlier run had an error" (or "this run").
  bool compared = false;
  std::string note;
  Comparison comparison;
  // The earlier run's line, which the changes point into.
  Value earlier;

  bool changed() const { return compared && !comparison.unchanged(); }
};

struct CheckOutcome {
  // The check as the check directory (or --only) names it.
  std::string name;
  // Its description, when its file was read and the description can be.
  std::optional<std::string> description;
  // What the check returned; unset when it failed.
  std::optional<Value> result;
  // Why the check failed; unset when it ran. A compound check that lost
  // some elements (partial results) has both: its result holds the records
  // of the others, and its error is kind kPartial.
  std::optional<Error> error;
  // The element requests that failed, for partial results.
  std::vector<ElementFailure> failed_elements;
  // The verdicts on the check's expectations (--expect), in file order: not
  // judged when the check failed, judged over the records received when it
  // lost some elements.
  std::vector<Verdict> expectations;
  // The comparison with the earlier run (--baseline).
  std::optional<BaselineOutcome> baseline;
  // Whether the run ends with this check's failure.
  bool ends_run = false;
  // From the start of the check (its file read) to its end.
  Clock::Duration duration{};

  bool failed() const { return error.has_value(); }
  // Whether what the check found needs the operator's attention: an
  // expectation that does not hold, or a result that changed.
  bool needs_attention() const {
    for (const Verdict& v : expectations) {
      if (v.holds == false) return true;
    }
    return baseline && baseline->changed();
  }
};

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_OUTCOME_H_
