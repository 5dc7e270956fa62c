// Fixing the run settings (check/run_settings.h) from the command line and
// the prompts, before the opening login.
#ifndef TARNWICK_APP_SETTINGS_H_
#define TARNWICK_APP_SETTINGS_H_

#include <string>

#include "tarnwick/check/run_settings.h"
#include "tarnwick/wire/transport_options.h"

namespace tarnwick {

struct CommandLine;
class Prompter;

// Fixes the settings in this order: the address (option, else the address
// prompt, on standard error with --json, --quiet or --nagios), the user name
// (option, else "admin"), the password (option, else the first line of
// --secret-file, else the password prompt), the
// check directory (option, else the default beside the executable, which throws
// Error(kFileNotFound) when it is missing, so after the prompts and before any
// request). An option with an empty value counts as absent. Fills settings in
// place, so the password is not left behind in a temporary.
void fix_settings(const CommandLine& command_line, Prompter& prompter,
                  RunSettings& settings);

// The check directory alone, as fix_settings fixes it.
std::string check_directory(const CommandLine& command_line);

// How the run's requests are sent, from the command line.
TransportOptions transport_options(const CommandLine& command_line);

}  // namespace tarnwick

#endif  // TARNWICK_APP_SETTINGS_H_
