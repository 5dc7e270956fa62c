// Failures of tarnwick travel as one exception type, Error, carrying a kind
// and a one-line message. The launcher turns an uncaught Error into the line
// "tarnwick: KIND: MESSAGE" on standard error and exit status 1.
#ifndef TARNWICK_BASE_ERROR_H_
#define TARNWICK_BASE_ERROR_H_

#include <stdexcept>
#include <string>

namespace tarnwick {

enum class ErrorKind {
  kFileNotFound,    // a path that does not exist
  kFileAccess,      // a path that exists but cannot be read or is no file
  kCheckFile,       // a check file the reader rejects (names file and line)
  kMissingSection,  // a check file without its [orvantis] section
  kInterpolation,   // a value with a stray "%" or a reference that fails
  kMissingKey,      // a filter key that a list element lacks
  kType,            // a value of the wrong kind for an operation
  kConnection,      // a request that could not be completed
  kInvalidReply,    // a reply body that is not exactly one JSON text
  kInvalidValue,    // a value that cannot be sent in a form
  kReferenceCycle,  // a compound check that refers back into its own chain
  kEndOfInput,      // end of input at a prompt
  kInterrupted,     // SIGINT or SIGTERM
  kLoginFailed,     // a login reply without a usable "CID"
  kOutput,          // standard output cannot be written
  kTimeout,         // a request that overran its time limit
  kHttpError,       // a reply with an error status, with --fail-http
  kPartial,         // a compound check some of whose element requests failed
  kBadExpectation,  // an expectation of a check file that cannot be judged
  kBadBaseline,     // an earlier run's file that cannot be compared with
};

// The kind as the error report names it, e.g. "file not found".
const char* error_kind_name(ErrorKind kind);

// What an errno value means, in the C library's words ("No such file or
// directory"); with lower_case_start, its first letter in lower case, for
// messages that go on after a colon.
std::string errno_text(int error_number, bool lower_case_start = false);

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}

  ErrorKind kind() const { return kind_; }

  // Whether the failure ends the whole run, even a run that goes on past
  // failed checks: a failed login request, whatever its kind, and the kinds
  // that are never about one check (a failed login, standard output that
  // cannot be written, end of input, an interruption, an earlier run's file
  // that cannot be read).
  bool ends_run() const;

  // The same failure with another message (context added).
  Error with_message(const std::string& message) const;

  // The same failure, marked as ending the run.
  Error ending_the_run() const;

 protected:
  Error(ErrorKind kind, const std::string& message, bool ends_run)
      : std::runtime_error(message), kind_(kind), ends_run_(ends_run) {}

 private:
  ErrorKind kind_;
  bool ends_run_ = false;
};

}  // namespace tarnwick

#endif  // TARNWICK_BASE_ERROR_H_
