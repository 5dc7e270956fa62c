// The command-line parser: the four options of the run settings, each with
// one value, help, and the options beyond them that an operator opts into.
#ifndef TARNWICK_APP_COMMAND_LINE_H_
#define TARNWICK_APP_COMMAND_LINE_H_

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// What the command line asks for. The four values are kept exactly as given;
// an empty value is still a value here (main treats it as absent).
struct CommandLine {
  enum class Outcome {
    kRun,      // run with the values below
    kHelp,     // print the help and end successfully
    kVersion,  // print the version and end successfully
    kError,    // print the usage and `error`, end with the usage status
  };

  Outcome outcome = Outcome::kRun;
  // One line, without the program name, for kError.
  std::string error;

  std::optional<std::string> controller_ip;
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::optional<std::string> config_dir;

  // --verbose: a trace line per request on standard error.
  bool verbose = false;
  // --timeout SECONDS: the bound on each wait of a request, rounded up to
  // whole milliseconds; unset, a request waits as long as its connection.
  std::optional<std::chrono::milliseconds> timeout;
  // --keep-going: a failed check does not end the run.
  bool keep_going = false;
  // --json: the report as JSON Lines.
  bool json = false;
  // --dry-run: read and plan the checks; ask for nothing, send nothing.
  bool dry_run = false;
  // --expect: judge each check against the [expect] section of its file.
  bool expect = false;
  // --baseline FILE: the earlier run to compare each result with.
  std::optional<std::string> baseline;
  // --fail-http: a reply with an HTTP status of 400 or above fails its check.
  bool fail_http = false;
  // --quiet: report only the checks that need attention.
  bool quiet = false;
  // --strict (with --dry-run only): warnings count as errors.
  bool strict = false;
  // --reuse-connections: requests go over connections kept open.
  bool reuse_connections = false;
  // --reuse-session: the checks use the opening login's session.
  bool reuse_session = false;
  // --report-junit FILE: the JUnit XML report of the run goes to FILE.
  std::optional<std::string> report_junit;
  // --report-html FILE: the HTML page of the run goes to FILE.
  std::optional<std::string> report_html;
  // --metrics FILE: the run's metrics go to FILE.
  std::optional<std::string> metrics;
  // --nagios: a plugin's status line and exit statuses. Also set on a
  // refused command line that names it, whose usage error it then reports.
  bool nagios = false;
  // --in-flight N: up to N element requests of a compound check at once,
  // over kept connections; unset, one at a time.
  std::optional<std::size_t> in_flight;
  // --tls-pin PIN: the public-key pins, every value given joined by ';'.
  std::optional<std::string> tls_pin;
  // --tls-ca FILE: the CA certificates to verify the controller against.
  std::optional<std::string> tls_ca;
  // --tls-show-pin: show the controller's certificate instead of a run.
  bool tls_show_pin = false;
  // --secret-file FILE: the password's file, instead of the prompt.
  std::optional<std::string> secret_file;
  // --only NAME: the checks to run, in order, as often as given; empty for
  // the whole check directory.
  std::vector<std::string> only;

  // Where a value of the password option stands on the command line, every
  // one given (not only the last), so that it can be hidden there: the
  // argument (0 for the first after the program name) and the byte at which
  // the value starts in it.
  struct Position {
    std::size_t argument = 0;
    std::size_t offset = 0;
  };
  std::vector<Position> password_positions;
};

// Parses the arguments after the program name.
//
// An option with a value takes the next argument or one attached with "=". A
// separate argument that begins with "-" is an option name, so the option
// before it lacks its value, unless it is "-" alone, a negative number (-5,
// -.5, -0.5) or holds a blank. Options without a value (--verbose) refuse one
// attached with "=", as help does; --version acts when it is reached, as
// help does. Long names may be shortened to any prefix that names one option
// only ("--help" included); the last value given counts, except for --only,
// whose values collect in order. --only takes a bare name of the check
// directory (no "/", not "." or ".."); --timeout takes digits with an
// optional fraction, greater than 0 and at most 86400 seconds; --in-flight
// takes a whole number from 1 to 64 in digits; --tls-pin takes pins as
// is_pin_list (wire/tls_trust.h) has them, and its values collect too; an
// empty value of any of them is refused like any other (an empty value of
// the four settings counts as absent, for main to decide). --strict is
// refused without --dry-run; --report-junit, --report-html, --metrics and
// --nagios with it;
// --nagios with --json or --quiet; two of --report-junit, --report-html and
// --metrics naming the same file; --secret-file with a non-empty --password;
// --tls-show-pin without a non-empty --controller_ip, and with --dry-run,
// --report-junit,
// --report-html, --metrics or --nagios.
//
// Where help and errors meet: an ambiguous prefix anywhere on the line is an
// error first of all; then the arguments are taken from left to right, help
// acting when it is reached and a missing value (or a value given to help)
// failing when it is reached; unrecognized options and positional arguments
// fail only once the whole line has been taken, so help wins over them.
//
// Error messages never repeat a value, so a password typed in the wrong
// place does not reach the terminal or a log.
CommandLine parse_command_line(const std::vector<std::string>& args);

}  // namespace tarnwick

#endif  // TARNWICK_APP_COMMAND_LINE_H_
