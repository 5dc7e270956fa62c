// The check suite run: the checks of the check directory, one after the
// other, each handed to a report writer.
#ifndef TARNWICK_SUITE_SUITE_RUN_H_
#define TARNWICK_SUITE_SUITE_RUN_H_

#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/output.h"
#include "tarnwick/check/run_settings.h"
#include "tarnwick/report/report_writer.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

// The checks of config_dir: every entry whose name ends in ".cfg" (exactly),
// in the order the file system lists the directory, which is listed once.
// Throws Error(kFileNotFound) or Error(kFileAccess) when the directory
// cannot be listed.
std::vector<std::string> list_checks(const std::string& config_dir);

// Runs the entry `name` of the check directory: reads it (once), tells the
// writer it started, with its description when that can be read, runs it
// from that read and hands the writer its result. A failure is handed to the
// writer, with whether it ends the run, and thrown.
void run_named_check(const RunSettings& settings, std::string_view name,
                     Transport& transport, ReportWriter& writer,
                     bool keep_going);

// Runs the checks `names` in order by run_named_check. Without keep_going
// the first failure ends the run (thrown). With it, a failure that ends only
// its check (Error::ends_run() false) is noted in `failed` (by name, as
// often as it fails) with its error line on err, and the next check runs;
// what ends the run is thrown, with `failed` as far as the run got.
void run_checks(const RunSettings& settings,
                const std::vector<std::string>& names, Transport& transport,
                ReportWriter& writer, bool keep_going, Output& err,
                std::vector<std::string>& failed);

// The whole check directory, the first failure ending the run.
void run_check_suite(const RunSettings& settings, Transport& transport,
                     ReportWriter& writer);

}  // namespace tarnwick

#endif  // TARNWICK_SUITE_SUITE_RUN_H_
