// Exit statuses of the command.
#ifndef TARNWICK_BASE_EXIT_STATUS_H_
#define TARNWICK_BASE_EXIT_STATUS_H_

namespace tarnwick {

enum ExitStatus : int {
  kExitSuccess = 0,
  kExitFailure = 1,        // any failure of the run, a failed login included
  kExitUsage = 2,          // a command line the parser rejects
  kExitAttention = 3,      // the checks ran, but what they found needs
                           // attention (an expectation does not hold)
  kExitInterrupted = 130,  // SIGINT, as 128 + its number
  kExitBrokenPipe = 141,   // SIGPIPE: the reader of standard output went away
  kExitTerminated = 143,   // SIGTERM, as 128 + its number
};

}  // namespace tarnwick

#endif  // TARNWICK_BASE_EXIT_STATUS_H_
