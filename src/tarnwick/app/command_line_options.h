// The options of the command line, in one table read by the parser
// (command_line.cc) and by the usage and help (usage.cc), and at build time
// by tools/option_docs.cc, which makes the man page's synopsis and option
// list and the bash completion's option names from it. Internal to those;
// nothing else may include it.
#ifndef TARNWICK_APP_COMMAND_LINE_OPTIONS_H_
#define TARNWICK_APP_COMMAND_LINE_OPTIONS_H_

#include <array>
#include <string_view>

namespace tarnwick {

enum class OptionId {
  kControllerIp,
  kUsername,
  kPassword,
  kConfigDir,
  kVerbose,
  kTimeout,
  kKeepGoing,
  kJson,
  kOnly,
  kVersion,
  kDryRun,
  kExpect,
  kBaseline,
  kFailHttp,
  kQuiet,
  kStrict,
  kReuseConnections,
  kReuseSession,
  kReportJunit,
  kReportHtml,
  kMetrics,
  kNagios,
  kInFlight,
  kTlsPin,
  kTlsCa,
  kTlsShowPin,
  kSecretFile,
};

struct OptionSpec {
  std::string_view name;
  std::string_view placeholder;  // empty for an option without a value
  std::string_view help;
  OptionId id;
};

// In this order in the usage line and the help: the four run settings, then
// the options an operator opts into. None of the latter begins with "c",
// "u", "p" or "h", so every prefix of the first four keeps its meaning.
inline constexpr std::array<OptionSpec, 27> kOptions = {{
    {"--controller_ip", "CONTROLLER_IP",
     "Orvantis Controller IP. User will be prompted to enter the IP if not "
     "specified.",
     OptionId::kControllerIp},
    {"--username", "USERNAME",
     "Orvantis Controller Username. Defaults to \"admin\" if not specified.",
     OptionId::kUsername},
    // "specfied" is how operators have always seen this text.
    {"--password", "PASSWORD",
     "Orvantis Controller Password. User will be prompted to enter the "
     "password if not specfied.",
     OptionId::kPassword},
    {"--config_dir", "CONFIG_DIR",
     "Configuration Directory. Defaults to \"config\" if not specified.",
     OptionId::kConfigDir},
    {"--verbose", "",
     "Write a line per request to standard error: check, action, HTTP status, "
     "size and time.",
     OptionId::kVerbose},
    {"--timeout", "SECONDS",
     "Give up on a request after SECONDS without progress (connecting, or "
     "waiting for the next byte of the reply).",
     OptionId::kTimeout},
    {"--keep-going", "",
     "Go on with the next check when one fails; report the failures at the "
     "end and exit with status 1.",
     OptionId::kKeepGoing},
    {"--json", "", "Write the report as JSON Lines: one object per check.",
     OptionId::kJson},
    {"--only", "NAME",
     "Run only the check NAME of the check directory; may be given several "
     "times.",
     OptionId::kOnly},
    {"--version", "",
     "Show the version of tarnwick and of the libraries it uses, and exit.",
     OptionId::kVersion},
    {"--dry-run", "",
     "Read the check files and show what each check would send, without "
     "asking for anything or sending anything.",
     OptionId::kDryRun},
    {"--expect", "",
     "Judge each check's result against the [expect] section of its file; "
     "exit with status 3 when an expectation does not hold.",
     OptionId::kExpect},
    {"--baseline", "FILE",
     "Compare each check's result with the earlier run in FILE (the output "
     "of a run with --json); exit with status 3 when one changed.",
     OptionId::kBaseline},
    {"--fail-http", "",
     "Fail a check whose request is answered with an HTTP status of 400 or "
     "above.",
     OptionId::kFailHttp},
    {"--quiet", "",
     "Report only the checks that need attention; a run where all is well "
     "prints nothing.",
     OptionId::kQuiet},
    {"--strict", "", "With --dry-run: count every warning as an error.",
     OptionId::kStrict},
    {"--reuse-connections", "",
     "Send the requests over connections kept open between them (HTTP/2 "
     "where the controller offers it) instead of a new connection each.",
     OptionId::kReuseConnections},
    {"--reuse-session", "",
     "Run every check in the session of the opening login instead of "
     "logging in once per check.",
     OptionId::kReuseSession},
    {"--report-junit", "FILE",
     "When the run ends, write a JUnit XML report of it to FILE (for CI).",
     OptionId::kReportJunit},
    {"--report-html", "FILE",
     "When the run ends, write an HTML report of it to FILE: one page that "
     "opens offline in a browser.",
     OptionId::kReportHtml},
    {"--metrics", "FILE",
     "When the run ends, write its outcome as Prometheus metrics to FILE (for "
     "node_exporter's textfile collector).",
     OptionId::kMetrics},
    {"--nagios", "",
     "Run as a Nagios or Icinga plugin: a status line on standard output and "
     "the plugin's exit statuses.",
     OptionId::kNagios},
    {"--in-flight", "N",
     "Send up to N element requests of a compound check side by side (1 to "
     "64); implies --reuse-connections.",
     OptionId::kInFlight},
    {"--tls-pin", "PIN",
     "Talk only to a controller that presents the public key PIN "
     "(sha256//BASE64, as --tls-show-pin shows it; several joined by ';'); "
     "end the run otherwise, before anything is sent.",
     OptionId::kTlsPin},
    {"--tls-ca", "FILE",
     "Verify the controller's certificate chain and its name or address "
     "against the CA certificates in FILE (PEM) alone.",
     OptionId::kTlsCa},
    {"--tls-show-pin", "",
     "Show the pin and the certificate of the controller at "
     "--controller_ip, and exit; nothing is sent.",
     OptionId::kTlsShowPin},
    {"--secret-file", "FILE",
     "Read the password from the first line of FILE, which other users may "
     "not read or write (a pipe will do).",
     OptionId::kSecretFile},
}};

// Options that act as soon as the parser reaches them, as help does.
constexpr bool acts_at_once(const OptionSpec& o) {
  return o.id == OptionId::kVersion;
}

constexpr bool takes_value(const OptionSpec& o) {
  return !o.placeholder.empty();
}

inline constexpr std::string_view kHelpShort = "-h";
inline constexpr std::string_view kHelpLong = "--help";
inline constexpr std::string_view kHelpHelp = "show this help message and exit";
inline constexpr std::string_view kDescription = "Tarnwick Automation";

}  // namespace tarnwick

#endif  // TARNWICK_APP_COMMAND_LINE_OPTIONS_H_
