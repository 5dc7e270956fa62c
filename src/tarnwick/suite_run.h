// The check suite run: every ".cfg" entry of the check directory, in listing
// order, each handed to a report writer.
#ifndef TARNWICK_SUITE_RUN_H_
#define TARNWICK_SUITE_RUN_H_

#include <string_view>

#include "tarnwick/report_writer.h"
#include "tarnwick/settings.h"
#include "tarnwick/transport.h"

namespace tarnwick {

// Lists settings.config_dir once, in the order the file system returns it,
// and runs every entry whose name ends in ".cfg" (exactly) by
// run_named_check. The first failure ends the run: it is handed to the
// writer and thrown. Throws Error(kFileNotFound) or Error(kFileAccess) when
// the directory cannot be listed.
void run_check_suite(const RunSettings& settings, Transport& transport,
                     ReportWriter& writer);

// Runs the entry `name` of the check directory: reads it (once), tells the
// writer it started, with its description when that can be read, runs it
// from that read and hands the writer its result. A failure is handed to the
// writer and thrown.
void run_named_check(const RunSettings& settings, std::string_view name,
                     Transport& transport, ReportWriter& writer);

}  // namespace tarnwick

#endif  // TARNWICK_SUITE_RUN_H_
