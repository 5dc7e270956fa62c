// The check suite run: the checks of the check directory, one after the
// other, each handed to a report writer.
#ifndef TARNWICK_SUITE_SUITE_RUN_H_
#define TARNWICK_SUITE_SUITE_RUN_H_

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/cancellation.h"
#include "tarnwick/base/clock.h"
#include "tarnwick/base/output.h"
#include "tarnwick/check/run_settings.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/compare/baseline.h"
#include "tarnwick/report/report_writer.h"
#include "tarnwick/suite/tally.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

// What a run of checks uses besides the settings every check shares. All
// must outlive the run.
struct Suite {
  const RunSettings& settings;
  Transport& transport;
  ReportWriter& writer;
  Clock& clock;
  Output& err;  // error lines of the checks the run goes on past
  // Whether a check that fails alone (Error::ends_run() false) lets the
  // run go on with the next one, and a compound check whose element request
  // fails keeps the records of its other elements (partial results).
  bool keep_going = false;
  // Whether each check is judged against the section [expect] of its file.
  bool expect = false;
  // The earlier run each check's result is compared with (--baseline), by
  // the section [compare] of its file; null for none.
  const Baseline* baseline = nullptr;
  // The run's cancellation, looked at before each check; the transport's
  // (TransportOptions::cancellation) ends the requests in flight. Null for
  // none.
  Cancellation* cancellation = nullptr;
};

// The checks of config_dir: every entry whose name ends in ".cfg" (exactly),
// in the order the file system lists the directory, which is listed once.
// Throws Error(kFileNotFound) or Error(kFileAccess) when the directory
// cannot be listed.
std::vector<std::string> list_checks(const std::string& config_dir);

// The entries of config_dir that look meant as checks but never run: their
// names end in ".cfg" when case is ignored, or hold ".cfg" before a further
// suffix ("a.CFG", "b.cfg.bak"); in listing order. Throws as list_checks.
std::vector<std::string> near_miss_checks(const std::string& config_dir);

// Runs the entry `name` of the check directory: reads it (once), tells the
// writer it started, with its description when that can be read, runs it
// from that read and hands the writer its outcome, which it also returns:
// a failed check's outcome holds its error, and whether it ends the run
// (without keep_going, any failure does). The failure that ends the run is
// then thrown, once the writer has the outcome; a failure to write the
// report is thrown before. run_index counts the earlier runs of the same
// name in this run (from 0), which picks its line of the earlier run's
// file. A cancellation (Cancelled) is thrown as it comes, the check not
// finished.
// With expect or a baseline, a section of the file named almost as the one
// they read ("[Expect]", "[compre]") gets the dry run's warning on err, once
// per file: `warned` holds the files warned of.
CheckOutcome run_named_check(const Suite& suite, std::string_view name,
                             std::size_t run_index,
                             std::set<FileIdentity>& warned);

// Runs the checks `names` in order by run_named_check, noting in tally what
// each found. Without keep_going the first failure ends the run (thrown).
// With it, a failure that ends only its check is noted with its error line
// on err, and the next check runs; what ends the run is thrown, with tally
// as far as the run got. Once suite.cancellation is cancelled, its reason is
// thrown: the checks that finished have been handed to the writer.
void run_checks(const Suite& suite, const std::vector<std::string>& names,
                SuiteTally& tally);

}  // namespace tarnwick

#endif  // TARNWICK_SUITE_SUITE_RUN_H_
