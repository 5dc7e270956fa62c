// What the process does to itself to protect the password it holds and to
// keep its report where it belongs.
#ifndef TARNWICK_APP_PROCESS_H_
#define TARNWICK_APP_PROCESS_H_

#include <vector>

#include "tarnwick/app/command_line.h"

namespace tarnwick {

// Before anything else:
// - no core file may keep a copy of the process's memory, and no other
//   process of the same user may read it (RLIMIT_CORE 0, non-dumpable, which
//   also stops attaching to it);
// - SSLKEYLOGFILE is dropped: libcurl would write the TLS session secrets to
//   the file it names, and anyone with a capture could read the login form;
// - SIGPIPE is ignored: a write to a reader that went away fails with EPIPE
//   instead of ending the process unannounced, whether it is the report or a
//   connection;
// - a closed standard descriptor is taken by /dev/null (read-only), so the
//   next file opened (the terminal, a connection) cannot become the report.
void harden_process();

// Overwrites with '*' each password value at `positions` (arguments counted
// from argv[1], as the command-line parser reports them) in the process's own
// argument memory, so the process list no longer shows it.
void hide_password_arguments(
    char** argv, const std::vector<CommandLine::Position>& positions);

}  // namespace tarnwick

#endif  // TARNWICK_APP_PROCESS_H_
