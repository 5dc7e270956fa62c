// --config.check: the configuration and the check directories it names,
// read as a start and `tarnwick --dry-run --strict` would read them, with
// nothing listened on and nothing sent.
#ifndef TARNWICK_EXPORTER_CONFIG_CHECK_H_
#define TARNWICK_EXPORTER_CONFIG_CHECK_H_

#include <string>

#include "tarnwick/base/output.h"
#include "tarnwick/exporter/exporter_config.h"

namespace tarnwick {

// Reads the configuration at `file`, then plans each module's checks (with
// their [expect] sections where the module has expect), every warning
// counting as an error. Writes each problem to err, one line each ("FILE:
// LINE: message" for the configuration, the dry run's error and warning
// lines for the checks), and to out a line saying what was read. Returns 0
// when nothing is wrong, 1 otherwise.
int check_configuration(const std::string& file, ConfigFiles& files,
                        Output& out, Output& err);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_CONFIG_CHECK_H_
