// What a run of checks found, as far as it got: the summary lines that end
// standard error and the exit status they call for.
#ifndef TARNWICK_SUITE_TALLY_H_
#define TARNWICK_SUITE_TALLY_H_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "tarnwick/report/outcome.h"

namespace tarnwick {

struct SuiteTally {
  // The checks the run set out to run.
  std::size_t checks = 0;
  // The checks that failed while the run went on past them, by name, as
  // often as they failed.
  std::vector<std::string> failed;
  // How often each check name has run.
  std::map<std::string, std::size_t> runs;
  // The checks whose results changed since the earlier run, as often as they
  // changed.
  std::vector<std::string> changed;
  // The checks with expectations that do not hold: the check's name and
  // those expectations' names, in the order they ran.
  struct Unmet {
    std::string check;
    std::vector<std::string> expectations;
  };
  std::vector<Unmet> unmet;
  // Warnings written about the check files (a dry run), and whether they
  // count as errors (--strict).
  std::size_t warnings = 0;
  bool strict = false;

  // Notes what a check that ran found.
  void note(const CheckOutcome& outcome);

  // The summary lines, each a whole error line, in their fixed order:
  // "tarnwick: checks failed: 2 of 9: a.cfg, b.cfg", "tarnwick: expectations
  // failed: 3 in 2 of 9 checks: a.cfg (up, release), b.cfg (no_crit)", then
  // "tarnwick: results changed: 2 of 9 checks: a.cfg, b.cfg", then with
  // --strict "tarnwick: strict: 2 warnings count as errors"; none when all
  // is well.
  std::string summary_lines() const;

  // The exit status of a run that got to its end: 1 when a check failed or
  // a warning counts as an error, else 3 when an expectation does not hold
  // or a result changed, 0 when all is well.
  int exit_status() const;
};

}  // namespace tarnwick

#endif  // TARNWICK_SUITE_TALLY_H_
