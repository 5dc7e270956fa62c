// A check's result compared with the earlier run's (--baseline): which line
// of the earlier run is its, and what the comparison found.
#ifndef TARNWICK_SUITE_BASELINE_CHECK_H_
#define TARNWICK_SUITE_BASELINE_CHECK_H_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "tarnwick/base/output.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/compare/baseline.h"
#include "tarnwick/compare/compare_rules.h"
#include "tarnwick/report/outcome.h"

namespace tarnwick {

// Whether the check in config sends its request once per element of
// another check's result, so that its result is a list of records.
bool refers_to_a_check(const CheckFile& config);

// Fills outcome.baseline: "not compared: this run had an error" for a check
// that failed; else its result compared by `rules` with the run_index-th
// line (from 0) of its name in baseline, or "new check" when there is none,
// or "not compared: the earlier run had an error" when that line has no
// result. records: the results are a compound check's records.
// The comparison's warnings go to err, named by the check.
void compare_with_baseline(const Baseline& baseline, std::size_t run_index,
                           const CompareRules& rules, bool records,
                           CheckOutcome& outcome, Output& err);

// Throws Error(kBadBaseline) "'PATH' holds no line for any of the 9 checks
// of this run" ("for the check of this run" for one) when `names`, the
// checks of the run, are some and baseline
// has a line for none of them: every check would be new, and a change could
// never show (a renamed check directory, the earlier run's file of another
// controller).
void check_baseline_has_checks(const Baseline& baseline,
                               const std::vector<std::string>& names);

// The checks of the earlier run that this run did not run as often, in the
// order of the earlier run's file, each once; `runs` counts the runs of each
// name.
std::vector<std::string> checks_not_run(
    const Baseline& baseline, const std::map<std::string, std::size_t>& runs);

}  // namespace tarnwick

#endif  // TARNWICK_SUITE_BASELINE_CHECK_H_
