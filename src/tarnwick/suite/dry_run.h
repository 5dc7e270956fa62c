// The dry run (--dry-run): the checks of a check directory read and planned
// as a run would read them, with the traps of their files named, and
// nothing asked for or sent.
#ifndef TARNWICK_SUITE_DRY_RUN_H_
#define TARNWICK_SUITE_DRY_RUN_H_

#include <string>
#include <vector>

#include "tarnwick/base/output.h"
#include "tarnwick/check/check_plan.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/report/report_writer.h"

namespace tarnwick {

// The plan of the check read from config_file (named `name` in the plan):
// its chain of compound references read with the run's own reader and
// rules, each file once, with cycle detection. Throws the failures a run
// would meet reading the same files, their context naming the line of the
// entry being read ("(in a.cfg:7)") where there is one.
CheckPlan plan_check(const CheckFile& config, const std::string& config_file,
                     const std::string& name, const std::string& config_dir);

// Examines the entries `names` of config_dir, each by itself: the writer
// gets each check's description and plan, or its failure (the run going on
// past it), and err the failure's error line. The warnings of every file read
// (a referenced file once, however often it is met) go to err as
// "tarnwick: warning: PATH:LINE: ..." lines. The names of the checks that
// failed are added to `failed`; returns how many warnings were written.
// With `sections.expect`, each check's expectations are read too and shown
// in its plan, with `sections.compare` its comparison rules; a bad one is
// an error of the check. With `sections.all` (--strict), both sections are
// read whenever a file has them, and a bad one is an error all the same;
// the plan shows them only as asked.
struct PlannedSections {
  bool expect = false;   // [expect] (--expect)
  bool compare = false;  // [compare] (--baseline)
  bool all = false;      // both, to validate them (--strict)
};
std::size_t dry_run(const std::string& config_dir,
                    const std::vector<std::string>& names,
                    const PlannedSections& sections, ReportWriter& writer,
                    Output& err, std::vector<std::string>& failed);

// The warning for a check directory in which no entry runs, naming the
// entries that look meant as checks ("a.CFG", "b.cfg.bak"):
// "no check files in 'checks' (entries ending in .cfg); near misses: ...".
std::string no_checks_warning(const std::string& config_dir);

}  // namespace tarnwick

#endif  // TARNWICK_SUITE_DRY_RUN_H_
