// The whole command, from its arguments to its exit status, with every
// contact with the outside world handed in.
#ifndef TARNWICK_APP_COMMAND_H_
#define TARNWICK_APP_COMMAND_H_

#include "tarnwick/app/prompt.h"
#include "tarnwick/base/cancellation.h"
#include "tarnwick/base/clock.h"
#include "tarnwick/base/output.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

// What the command talks to. Everything must outlive the run.
struct Environment {
  // Makes the run's transport once the command line is read.
  TransportFactory& transports;
  Prompter& prompter;
  Output& out;  // standard output: prompts aside, the report
  Output& err;  // standard error: usage and error lines
  Clock& clock;
  // The run's cancellation (InterruptionRoute cancels it for a signal);
  // null for none.
  Cancellation* cancellation = nullptr;
};

// Runs tarnwick with the command line argv[0..argc): parses it (help on out
// and status 0; usage and the error on err and status 2, before anything
// else happens), hides the password values in argv, fixes the run settings
// (prompting where needed), logs in once and runs the check suite, the
// report on out. Returns 0 when every check ran. Every failure is thrown,
// for report_failure (failure_report.h) to turn into its report and status.
int run_command(int argc, char** argv, Environment& env);

}  // namespace tarnwick

#endif  // TARNWICK_APP_COMMAND_H_
