// The check suite run: every ".cfg" entry of the check directory, in listing
// order, each as a report block on out.
#ifndef TARNWICK_SUITE_RUN_H_
#define TARNWICK_SUITE_RUN_H_

#include "tarnwick/check_run.h"
#include "tarnwick/output.h"

namespace tarnwick {

// Prints one block per check: its description (when it can be read), its
// result in report notation, two empty lines. out is flushed after each
// description and each block. The first failure ends the run (thrown).
void run_check_suite(const RunSettings& settings, Output& out,
                     Transport& transport = default_transport());

}  // namespace tarnwick

#endif  // TARNWICK_SUITE_RUN_H_
