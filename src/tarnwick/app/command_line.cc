#include "tarnwick/app/command_line.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <system_error>
#include <utility>

#include "tarnwick/app/command_line_options.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/wire/tls_trust.h"

namespace tarnwick {

namespace {

// The longest --timeout: one day.
constexpr std::chrono::milliseconds kMaxTimeout = std::chrono::hours(24);

// The most element requests that --in-flight lets be in flight at once.
constexpr std::size_t kMaxInFlight = 64;

// What one argument in option position names.
struct Resolved {
  enum class Type { kOption, kHelp, kUnknown, kAmbiguous };
  Type type = Type::kUnknown;
  std::size_t option = 0;                 // kOption: index into kOptions
  std::vector<std::string_view> matches;  // kAmbiguous
};

// One argument taken in option position, with the value it took.
struct Item {
  enum class Type { kOption, kHelp, kUnknown, kAmbiguous, kPositional };
  Type type = Type::kPositional;
  std::string name;        // the name part as written, without "=value"
  std::size_t number = 0;  // 1-based place on the command line
  std::size_t option = 0;
  std::vector<std::string_view> matches;
  std::optional<std::string> value;
  bool value_attached = false;
  CommandLine::Position value_position;  // where value stands, when taken
};

// The options that name a report file written when the run ends, in the
// order their conflicts are named.
struct ReportFile {
  OptionId id;
  std::string_view name;
  std::optional<std::string> CommandLine::*path;
};
constexpr std::array<ReportFile, 3> kReportFiles = {{
    {OptionId::kReportJunit, "--report-junit", &CommandLine::report_junit},
    {OptionId::kReportHtml, "--report-html", &CommandLine::report_html},
    {OptionId::kMetrics, "--metrics", &CommandLine::metrics},
}};

const ReportFile& report_file(OptionId id) {
  for (const ReportFile& file : kReportFiles) {
    if (file.id == id) return file;
  }
  return kReportFiles.front();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "-" followed by digits, or by digits (possibly none), "." and digits.
bool is_negative_number(std::string_view a) {
  if (a.size() < 2 || a[0] != '-') return false;
  std::size_t i = 1;
  std::size_t int_digits = 0;
  while (i < a.size() && is_digit(a[i])) ++i, ++int_digits;
  if (i == a.size()) return int_digits > 0;
  if (a[i] != '.') return false;
  ++i;
  std::size_t fraction_digits = 0;
  while (i < a.size() && is_digit(a[i])) ++i, ++fraction_digits;
  return i == a.size() && fraction_digits > 0;
}

// In option position: an argument that is read as an option name.
bool is_option_like(std::string_view a) {
  return a.size() > 1 && a[0] == '-' && !is_negative_number(a);
}

// After an option: an argument that is taken as its value.
bool is_value_like(std::string_view a) {
  return !is_option_like(a) || a.find(' ') != std::string_view::npos;
}

Resolved resolve(std::string_view name) {
  Resolved r;
  if (name == kHelpShort || name == kHelpLong) {
    r.type = Resolved::Type::kHelp;
    return r;
  }
  for (std::size_t i = 0; i < kOptions.size(); ++i) {
    if (name == kOptions[i].name) {
      r.type = Resolved::Type::kOption;
      r.option = i;
      return r;
    }
  }
  // Only long names shorten: "--" alone would match everything, so it is
  // no name at all.
  if (name.size() <= 2 || name.substr(0, 2) != "--") return r;
  bool help_matches = kHelpLong.starts_with(name);
  if (help_matches) r.matches.push_back(kHelpLong);
  for (std::size_t i = 0; i < kOptions.size(); ++i) {
    if (kOptions[i].name.starts_with(name)) {
      r.matches.push_back(kOptions[i].name);
      r.option = i;
    }
  }
  if (r.matches.size() > 1) {
    r.type = Resolved::Type::kAmbiguous;
  } else if (r.matches.size() == 1) {
    r.type = help_matches ? Resolved::Type::kHelp : Resolved::Type::kOption;
  }
  return r;
}

// Takes the whole line from left to right without acting on anything, so
// that errors can be ordered afterwards.
std::vector<Item> take_arguments(const std::vector<std::string>& args) {
  std::vector<Item> items;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    Item item;
    item.number = i + 1;
    if (!is_option_like(a)) {
      item.type = Item::Type::kPositional;
      items.push_back(std::move(item));
      continue;
    }
    std::size_t eq = a.find('=');
    item.name = a.substr(0, eq);
    if (eq != std::string::npos) {
      item.value = a.substr(eq + 1);
      item.value_attached = true;
      item.value_position = {i, eq + 1};
    }
    Resolved r = resolve(item.name);
    switch (r.type) {
      case Resolved::Type::kHelp:
        item.type = Item::Type::kHelp;
        break;
      case Resolved::Type::kUnknown:
        item.type = Item::Type::kUnknown;
        break;
      case Resolved::Type::kAmbiguous:
        item.type = Item::Type::kAmbiguous;
        item.matches = std::move(r.matches);
        break;
      case Resolved::Type::kOption:
        item.type = Item::Type::kOption;
        item.option = r.option;
        if (takes_value(kOptions[r.option]) && !item.value &&
            i + 1 < args.size() && is_value_like(args[i + 1])) {
          item.value = args[++i];
          item.value_position = {i, 0};
        }
        break;
    }
    items.push_back(std::move(item));
  }
  return items;
}

// Digits with an optional fraction, rounded up to whole milliseconds; nullopt
// for anything else, and for values that need more than 18 digits.
std::optional<std::chrono::milliseconds> parse_seconds(std::string_view text) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos
                                        ? std::string_view()
                                        : text.substr(point + 1);
  const auto all_digits = [](std::string_view s) {
    return !s.empty() &&
           s.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (!all_digits(whole) ||
      (point != std::string_view::npos && !all_digits(fraction)))
    return std::nullopt;
  const std::size_t significant = whole.find_first_not_of('0');
  if (significant != std::string_view::npos && whole.size() - significant > 12)
    return std::nullopt;
  long long ms = 0;
  for (char c : whole) ms = ms * 10 + (c - '0');
  ms *= 1000;
  for (std::size_t i = 0; i < 3; ++i) {
    const int digit = i < fraction.size() ? fraction[i] - '0' : 0;
    ms += digit * (i == 0 ? 100 : i == 1 ? 10 : 1);
  }
  if (fraction.size() > 3 &&
      fraction.find_first_not_of('0', 3) != std::string_view::npos) {
    ++ms;  // rounded up
  }
  return std::chrono::milliseconds(ms);
}

// Stores a value of a value option. Returns the error message for a value
// the option refuses; the message never repeats the value.
std::optional<std::string> store_value(CommandLine& result, OptionId id,
                                       const std::string& value) {
  switch (id) {
    case OptionId::kControllerIp:
      result.controller_ip = value;
      break;
    case OptionId::kUsername:
      result.username = value;
      break;
    case OptionId::kPassword:
      result.password = value;
      break;
    case OptionId::kConfigDir:
      result.config_dir = value;
      break;
    case OptionId::kTimeout: {
      const auto timeout = parse_seconds(value);
      if (!timeout || timeout->count() <= 0 || *timeout > kMaxTimeout) {
        return "option '--timeout' expects a number of seconds greater than 0 "
               "and at most 86400";
      }
      result.timeout = timeout;
      break;
    }
    case OptionId::kBaseline:
      if (value.empty()) return "option '--baseline' expects a file name";
      result.baseline = value;
      break;
    case OptionId::kInFlight: {
      std::size_t n = 0;
      const char* end = value.data() + value.size();
      const auto [stop, error] = std::from_chars(value.data(), end, n);
      if (value.empty() || value[0] < '0' || value[0] > '9' ||
          error != std::errc() || stop != end || n < 1 || n > kMaxInFlight) {
        return "option '--in-flight' expects a whole number from 1 to 64";
      }
      result.in_flight = n;
      break;
    }
    case OptionId::kOnly:
      // A bare entry name, as the directory lists it: no path of its own.
      if (value.empty() || value == "." || value == ".." ||
          value.find('/') != std::string::npos) {
        return "option '--only' expects the name of an entry of the check "
               "directory";
      }
      result.only.push_back(value);
      break;
    case OptionId::kTlsPin:
      if (!is_pin_list(value)) {
        return "option '--tls-pin' expects sha256// and the base64 of a "
               "SHA-256 hash, several joined by ';'";
      }
      result.tls_pin = result.tls_pin ? *result.tls_pin + ";" + value : value;
      break;
    case OptionId::kTlsCa:
      if (value.empty()) return "option '--tls-ca' expects a file name";
      result.tls_ca = value;
      break;
    case OptionId::kSecretFile:
      if (value.empty()) return "option '--secret-file' expects a file name";
      result.secret_file = value;
      break;
    case OptionId::kReportJunit:
    case OptionId::kReportHtml:
    case OptionId::kMetrics: {
      const ReportFile& file = report_file(id);
      if (value.empty())
        return "option " + quote_text(file.name) + " expects a file name";
      result.*file.path = value;
      break;
    }
    case OptionId::kVerbose:
    case OptionId::kKeepGoing:
    case OptionId::kJson:
    case OptionId::kVersion:
    case OptionId::kDryRun:
    case OptionId::kExpect:
    case OptionId::kFailHttp:
    case OptionId::kQuiet:
    case OptionId::kStrict:
    case OptionId::kReuseConnections:
    case OptionId::kReuseSession:
    case OptionId::kNagios:
    case OptionId::kTlsShowPin:
      break;  // take no value
  }
  return std::nullopt;
}

void store_flag(CommandLine& result, OptionId id) {
  if (id == OptionId::kVerbose) result.verbose = true;
  if (id == OptionId::kKeepGoing) result.keep_going = true;
  if (id == OptionId::kJson) result.json = true;
  if (id == OptionId::kDryRun) result.dry_run = true;
  if (id == OptionId::kExpect) result.expect = true;
  if (id == OptionId::kFailHttp) result.fail_http = true;
  if (id == OptionId::kQuiet) result.quiet = true;
  if (id == OptionId::kStrict) result.strict = true;
  if (id == OptionId::kReuseConnections) result.reuse_connections = true;
  if (id == OptionId::kReuseSession) result.reuse_session = true;
  if (id == OptionId::kNagios) result.nagios = true;
  if (id == OptionId::kTlsShowPin) result.tls_show_pin = true;
}

// What --tls-show-pin is refused with, or "": it connects and ends, so it
// has no run to report, and an address to connect to.
std::string show_pin_conflict(const CommandLine& result) {
  for (const auto& [given, name] :
       {std::pair{result.dry_run, "'--dry-run'"},
        std::pair{result.report_junit.has_value(), "'--report-junit'"},
        std::pair{result.report_html.has_value(), "'--report-html'"},
        std::pair{result.metrics.has_value(), "'--metrics'"},
        std::pair{result.nagios, "'--nagios'"}}) {
    if (given)
      return std::string("option '--tls-show-pin' does not go with ") + name;
  }
  if (!result.controller_ip || result.controller_ip->empty())
    return "option '--tls-show-pin' needs '--controller_ip'";
  return "";
}

// The combinations refused once the whole line is taken, or "".
std::string conflict(const CommandLine& result) {
  if (result.strict && !result.dry_run)
    return "option '--strict' only goes with '--dry-run'";
  if (result.dry_run) {
    // A dry run sends nothing: there is no run to report.
    for (const ReportFile& file : kReportFiles) {
      if (result.*file.path)
        return "option " + quote_text(file.name) +
               " does not go with '--dry-run'";
    }
    if (result.nagios) return "option '--nagios' does not go with '--dry-run'";
  }
  // The plugin's status line is all that standard output carries.
  if (result.nagios && result.json)
    return "option '--nagios' does not go with '--json'";
  if (result.nagios && result.quiet)
    return "option '--nagios' does not go with '--quiet'";
  for (std::size_t i = 0; i < kReportFiles.size(); ++i) {
    const ReportFile& a = kReportFiles[i];
    for (std::size_t j = i + 1; j < kReportFiles.size(); ++j) {
      const ReportFile& b = kReportFiles[j];
      if (result.*a.path && result.*a.path == result.*b.path) {
        return "options " + quote_text(a.name) + " and " + quote_text(b.name) +
               " name the same file";
      }
    }
  }
  // An empty --password counts as absent.
  if (result.secret_file && result.password && !result.password->empty())
    return "option '--secret-file' does not go with '--password'";
  if (result.tls_show_pin) return show_pin_conflict(result);
  return "";
}

bool names_nagios(const std::vector<Item>& items) {
  for (const Item& item : items) {
    if (item.type == Item::Type::kOption &&
        kOptions[item.option].id == OptionId::kNagios)
      return true;
  }
  return false;
}

CommandLine failure(std::string message) {
  CommandLine result;
  result.outcome = CommandLine::Outcome::kError;
  result.error = std::move(message);
  return result;
}

std::string unrecognized_message(const Item& item) {
  if (item.type == Item::Type::kUnknown) {
    return "unrecognized option " + quote_text(item.name);
  }
  return "unexpected argument " + std::to_string(item.number) +
         ": only options are accepted";
}

CommandLine parse_items(const std::vector<Item>& items) {
  for (const Item& item : items) {
    if (item.type != Item::Type::kAmbiguous) continue;
    std::string message =
        "ambiguous option " + quote_text(item.name) + " could match ";
    for (std::size_t i = 0; i < item.matches.size(); ++i) {
      if (i > 0) message += ", ";
      message += quote_text(item.matches[i]);
    }
    return failure(std::move(message));
  }

  CommandLine result;
  const Item* unrecognized = nullptr;
  for (const Item& item : items) {
    switch (item.type) {
      case Item::Type::kHelp:
        if (item.value_attached) {
          return failure("option " + quote_text(kHelpLong) + " takes no value");
        }
        result = CommandLine();
        result.outcome = CommandLine::Outcome::kHelp;
        return result;
      case Item::Type::kOption: {
        const OptionSpec& entry = kOptions[item.option];
        if (!takes_value(entry)) {
          if (item.value_attached) {
            return failure("option " + quote_text(entry.name) +
                           " takes no value");
          }
          if (acts_at_once(entry)) {
            result = CommandLine();
            result.outcome = CommandLine::Outcome::kVersion;
            return result;
          }
          store_flag(result, entry.id);
          break;
        }
        if (!item.value) {
          return failure("option " + quote_text(entry.name) +
                         " expects one value");
        }
        if (auto refused = store_value(result, entry.id, *item.value)) {
          return failure(std::move(*refused));
        }
        if (entry.id == OptionId::kPassword) {
          result.password_positions.push_back(item.value_position);
        }
        break;
      }
      case Item::Type::kUnknown:
      case Item::Type::kPositional:
        if (!unrecognized) unrecognized = &item;
        break;
      case Item::Type::kAmbiguous:
        break;  // reported above
    }
  }
  if (unrecognized) return failure(unrecognized_message(*unrecognized));
  if (std::string refused = conflict(result); !refused.empty())
    return failure(std::move(refused));
  return result;
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args) {
  const std::vector<Item> items = take_arguments(args);
  CommandLine result = parse_items(items);
  if (result.outcome == CommandLine::Outcome::kError)
    result.nagios = names_nagios(items);
  return result;
}

}  // namespace tarnwick
