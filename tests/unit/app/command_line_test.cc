#include "tarnwick/app/command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/app/usage.h"
#include "tarnwick/base/value.h"
#include "tarnwick/json/json.h"
#include "test_util.h"

namespace tarnwick {
namespace {

using Args = std::vector<std::string>;
using Outcome = CommandLine::Outcome;

std::string describe(const Args& args) {
  std::string s = "[";
  for (const std::string& a : args) s += " <" + a + ">";
  return s + " ]";
}

std::string describe(const CommandLine& c) {
  const auto show = [](const std::optional<std::string>& v) {
    return v ? "<" + *v + ">" : std::string("unset");
  };
  switch (c.outcome) {
    case Outcome::kHelp:
      return "help";
    case Outcome::kVersion:
      return "version";
    case Outcome::kError:
      // A refused line that names --nagios is reported to the monitor.
      return (c.nagios ? "nagios error: " : "error: ") + c.error;
    case Outcome::kRun:
      break;
  }
  return "run ip=" + show(c.controller_ip) + " user=" + show(c.username) +
         " password=" + show(c.password) + " dir=" + show(c.config_dir);
}

// What a command line should come to, in the terms of the golden vectors.
struct Expected {
  Outcome outcome = Outcome::kRun;
  std::optional<std::string> controller_ip;
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::optional<std::string> config_dir;
};

void expect_parse(const Args& args, const Expected& expected,
                  const std::string& label) {
  CommandLine c = parse_command_line(args);
  SCOPED_TRACE(label + " " + describe(args) + " gave " + describe(c));
  ASSERT_EQ(c.outcome, expected.outcome);
  if (expected.outcome == Outcome::kError) {
    EXPECT_FALSE(c.error.empty());
    return;
  }
  if (expected.outcome == Outcome::kHelp) return;
  EXPECT_EQ(c.controller_ip, expected.controller_ip);
  EXPECT_EQ(c.username, expected.username);
  EXPECT_EQ(c.password, expected.password);
  EXPECT_EQ(c.config_dir, expected.config_dir);
}

Expected run_with(std::optional<std::string> controller_ip,
                  std::optional<std::string> username,
                  std::optional<std::string> password,
                  std::optional<std::string> config_dir) {
  return {Outcome::kRun, std::move(controller_ip), std::move(username),
          std::move(password), std::move(config_dir)};
}

Expected outcome_only(Outcome outcome) {
  Expected e;
  e.outcome = outcome;
  return e;
}

const Expected kHelp = outcome_only(Outcome::kHelp);
const Expected kError = outcome_only(Outcome::kError);

// --- Golden vectors -------------------------------------------------------

std::optional<std::string> setting(const Node& settings, const char* key) {
  const Node* v = settings.find(key);
  if (!v || !v->is_text()) return std::nullopt;
  return std::string(v->text());
}

TEST(CommandLineTest, GoldenVectorsAllPass) {
  int cases = 0;
  for (const Value& v : golden_table_for_test("cli")) {
    const Node& c = v.node();
    const std::string id = golden_text_for_test(c, "id");
    const Node* argv = &golden_member_for_test(c, "argv");
    const Node* expect = &golden_member_for_test(c, "expect");
    ASSERT_TRUE(argv->is_list() && expect->is_map()) << id;
    Args args;
    for (const Node& a : argv->list()) args.emplace_back(a.text());
    Expected expected;
    if (expect->find("exit")) {
      expected = kError;
    } else if (expect->find("help")) {
      expected = kHelp;
    } else {
      const Node* settings = expect->find("settings");
      ASSERT_TRUE(settings && settings->is_map()) << id;
      expected = run_with(
          setting(*settings, "controller_ip"), setting(*settings, "username"),
          setting(*settings, "password"), setting(*settings, "config_dir"));
    }
    expect_parse(args, expected, id);
    ++cases;
  }
  EXPECT_EQ(cases, 188);
}

// --- Hand-made cases ------------------------------------------------------

struct ParseCase {
  const char* name;
  Args args;
  Expected expected;
};

void expect_cases(const std::vector<ParseCase>& cases) {
  for (const ParseCase& c : cases) expect_parse(c.args, c.expected, c.name);
}

// The golden vectors cover the common shapes; these are the edges of a
// negative number and of a blank.
TEST(CommandLineTest, DashArgumentAfterAnOptionIsItsValueOnlyWhenNumberLike) {
  expect_cases({
      {"digits after the point",
       {"--password", "-12.75"},
       run_with({}, {}, "-12.75", {})},
      {"point without digits after", {"--password", "-5."}, kError},
      {"point alone", {"--password", "-."}, kError},
      {"exponent", {"--password", "-1e5"}, kError},
      {"non-ASCII digit", {"--password", "-\u0663"}, kError},
      // Only the space character counts as a blank.
      {"tab is no blank", {"--password", "-x\ty"}, kError},
      {"trailing blank", {"--password", "-x "}, run_with({}, {}, "-x ", {})},
  });
}

TEST(CommandLineTest, OrderWhereHelpAndErrorsMeet) {
  expect_cases({
      // An ambiguous prefix fails wherever it stands, even after help.
      {"ambiguous after help", {"-h", "--co", "x"}, kError},
      {"ambiguous as a would-be value", {"--username", "--c"}, kError},
      // Help acts when reached, before later errors of any kind.
      {"help before missing value", {"-h", "--password"}, kHelp},
      {"help before value given to help", {"-h", "--help=x"}, kHelp},
      // A missing value fails when reached, before a later help.
      {"missing value before help", {"--password", "-h"}, kError},
      {"help with a value", {"--help=x"}, kError},
      {"help prefix with a value", {"--he=", "-h"}, kError},
      // Unrecognized arguments fail only after the whole line.
      {"unknown option before help", {"--x", "-h"}, kHelp},
      {"positional before help", {"extra", "--help"}, kHelp},
      {"separator before help", {"--", "-h"}, kHelp},
      {"negative number before help", {"-5", "--he"}, kHelp},
      {"unknown option alone", {"--x"}, kError},
      {"positional after values", {"--username", "u", "extra"}, kError},
      {"empty positional", {""}, kError},
  });
}

std::string error_of(const Args& args) {
  CommandLine c = parse_command_line(args);
  EXPECT_EQ(c.outcome, Outcome::kError) << describe(args);
  return c.error;
}

TEST(CommandLineTest, ErrorMessages) {
  EXPECT_EQ(error_of({"--co=x"}),
            "ambiguous option '--co' could match '--controller_ip', "
            "'--config_dir'");
  EXPECT_EQ(error_of({"--password"}), "option '--password' expects one value");
  EXPECT_EQ(error_of({"--pass", "-x"}),
            "option '--password' expects one value");
  EXPECT_EQ(error_of({"--help=x"}), "option '--help' takes no value");
  EXPECT_EQ(error_of({"--x"}), "unrecognized option '--x'");
  EXPECT_EQ(error_of({"--"}), "unrecognized option '--'");
  EXPECT_EQ(error_of({"--username", "u", "extra"}),
            "unexpected argument 3: only options are accepted");
  // The first unrecognized argument is named.
  EXPECT_EQ(error_of({"extra", "--x"}),
            "unexpected argument 1: only options are accepted");
}

TEST(CommandLineTest, ErrorMessagesNeverRepeatAValue) {
  // A password given to a misspelt option, to an option that lacks its
  // value, or left over as a positional argument stays out of the message.
  const std::vector<Args> lines = {
      {"--passwrd=s3cr3t"},
      {"--help=s3cr3t"},
      {"--username", "u", "s3cr3t"},
      {"-p", "s3cr3t"},
      {"--controller_ip", "h", "--password", "-s3cr3t"},
      {"--timeout", "s3cr3t"},
      {"--verbose=s3cr3t"},
  };
  for (const Args& args : lines) {
    EXPECT_EQ(error_of(args).find("s3cr3t"), std::string::npos)
        << describe(args);
  }
}

// The options beyond the four settings, in one line: "error: MESSAGE",
// "help", "version", or "run" and what is set ("verbose keep-going json
// timeout=2500ms only=a,b").
std::string beyond_the_settings(const CommandLine& c) {
  switch (c.outcome) {
    case Outcome::kError:
      // A refused line that names --nagios is reported to the monitor.
      return (c.nagios ? "nagios error: " : "error: ") + c.error;
    case Outcome::kHelp:
      return "help";
    case Outcome::kVersion:
      return "version";
    case Outcome::kRun:
      break;
  }
  std::string s = "run";
  if (c.verbose) s += " verbose";
  if (c.keep_going) s += " keep-going";
  if (c.json) s += " json";
  if (c.dry_run) s += " dry-run";
  if (c.fail_http) s += " fail-http";
  if (c.quiet) s += " quiet";
  if (c.strict) s += " strict";
  if (c.reuse_connections) s += " reuse-connections";
  if (c.reuse_session) s += " reuse-session";
  if (c.timeout) s += " timeout=" + std::to_string(c.timeout->count()) + "ms";
  if (c.report_junit) s += " report-junit=" + *c.report_junit;
  if (c.report_html) s += " report-html=" + *c.report_html;
  if (c.metrics) s += " metrics=" + *c.metrics;
  if (c.nagios) s += " nagios";
  if (c.in_flight) s += " in-flight=" + std::to_string(*c.in_flight);
  if (c.tls_pin) s += " tls-pin=" + *c.tls_pin;
  if (c.tls_ca) s += " tls-ca=" + *c.tls_ca;
  if (c.tls_show_pin) s += " tls-show-pin";
  if (c.secret_file) s += " secret-file=" + *c.secret_file;
  for (std::size_t i = 0; i < c.only.size(); ++i)
    s += (i == 0 ? " only=" : ",") + c.only[i];
  return s;
}

// A flag refuses a value, --timeout takes seconds and rounds them up to
// milliseconds, --in-flight a count, --only collects bare names, --version
// acts like help.
TEST(CommandLineTest, OptionsBeyondTheSettings) {
  const std::string kBadSeconds =
      "error: option '--timeout' expects a number of seconds greater than 0 "
      "and at most 86400";
  const std::string kBadCount =
      "error: option '--in-flight' expects a whole number from 1 to 64";
  const std::string kBadName =
      "error: option '--only' expects the name of an entry of the check "
      "directory";
  const std::pair<Args, std::string> cases[] = {
      {{}, "run"},
      {{"--verbose"}, "run verbose"},
      {{"--verb", "--verbose"}, "run verbose"},
      {{"--verbose=1"}, "error: option '--verbose' takes no value"},
      {{"--verbose", "1"},
       "error: unexpected argument 2: only options are accepted"},
      {{"--v"},
       "error: ambiguous option '--v' could match '--verbose', '--version'"},
      {{"--ver"},
       "error: ambiguous option '--ver' could match '--verbose', '--version'"},
      {{"--timeout", "2.5"}, "run timeout=2500ms"},
      {{"--timeout=2.5", "--ti", "3"}, "run timeout=3000ms"},
      {{"--timeout", "0.0001"}, "run timeout=1ms"},
      {{"--timeout", "2.0001"}, "run timeout=2001ms"},
      {{"--timeout", "007"}, "run timeout=7000ms"},
      {{"--timeout", "86400"}, "run timeout=86400000ms"},
      {{"--timeout", "86400.0001"}, kBadSeconds},
      {{"--timeout", "0"}, kBadSeconds},
      {{"--timeout", "0.000"}, kBadSeconds},
      {{"--timeout", "-1"}, kBadSeconds},
      {{"--timeout", "1e3"}, kBadSeconds},
      {{"--timeout", "inf"}, kBadSeconds},
      {{"--timeout", ".5"}, kBadSeconds},
      {{"--timeout", "5."}, kBadSeconds},
      {{"--timeout", " 5"}, kBadSeconds},
      {{"--timeout", "99999999999999999999"}, kBadSeconds},
      {{"--timeout="}, kBadSeconds},
      {{"--timeout"}, "error: option '--timeout' expects one value"},
      {{"--keep-going", "--json", "--k"}, "run keep-going json"},
      {{"--json=yes"}, "error: option '--json' takes no value"},
      {{"--only", "b.cfg", "--only=items", "--o", "b.cfg"},
       "run only=b.cfg,items,b.cfg"},
      {{"--only", ".hidden.cfg", "--only", "a b"}, "run only=.hidden.cfg,a b"},
      {{"--only", "dir/a.cfg"}, kBadName},
      {{"--only", "/etc/passwd"}, kBadName},
      {{"--only", "."}, kBadName},
      {{"--only", ".."}, kBadName},
      {{"--only="}, kBadName},
      {{"--vers", "--x"}, "version"},
      {{"--version", "--password"}, "version"},
      {{"--password", "--version"},
       "error: option '--password' expects one value"},
      {{"--version=1"}, "error: option '--version' takes no value"},
      {{"--help", "--version"}, "help"},
      {{"--dry-run", "--d"}, "run dry-run"},
      {{"--dry-run=1"}, "error: option '--dry-run' takes no value"},
      {{"--fail", "--q"}, "run fail-http quiet"},
      {{"--strict", "--dry"}, "run dry-run strict"},
      {{"--strict"}, "error: option '--strict' only goes with '--dry-run'"},
      {{"--strict", "--help"}, "help"},
      {{"--in-flight", "8"}, "run in-flight=8"},
      {{"--in-flight=64", "--i", "1"}, "run in-flight=1"},
      {{"--in-flight", "008"}, "run in-flight=8"},
      {{"--in-flight", "0"}, kBadCount},
      {{"--in-flight", "65"}, kBadCount},
      {{"--in-flight", "-8"}, kBadCount},
      {{"--in-flight", "+8"}, kBadCount},
      {{"--in-flight", "8.0"}, kBadCount},
      {{"--in-flight", "99999999999999999999999"}, kBadCount},
      {{"--in-flight="}, kBadCount},
      {{"--in-flight"}, "error: option '--in-flight' expects one value"},
      {{"--reuse-connections", "--reuse-s"},
       "run reuse-connections reuse-session"},
      {{"--reuse-c=1"}, "error: option '--reuse-connections' takes no value"},
      {{"--re"},
       "error: ambiguous option '--re' could match '--reuse-connections', "
       "'--reuse-session', '--report-junit', '--report-html'"},
      {{"--report-junit", "r.xml", "--m=out/m.prom", "--n"},
       "run report-junit=r.xml metrics=out/m.prom nagios"},
      {{"--metrics="}, "error: option '--metrics' expects a file name"},
      {{"--report-j", ""},
       "error: option '--report-junit' expects a file name"},
      {{"--rep", "r.xml"},
       "error: ambiguous option '--rep' could match '--report-junit', "
       "'--report-html'"},
      {{"--report-html", "r.html", "--report-j=r.xml"},
       "run report-junit=r.xml report-html=r.html"},
      {{"--report-h="}, "error: option '--report-html' expects a file name"},
      {{"--metrics", "x", "--report-junit", "x"},
       "error: options '--report-junit' and '--metrics' name the same file"},
      {{"--report-html", "x", "--report-junit", "x", "--metrics", "y"},
       "error: options '--report-junit' and '--report-html' name the same "
       "file"},
      {{"--report-html", "x", "--metrics", "x"},
       "error: options '--report-html' and '--metrics' name the same file"},
      {{"--dry-run", "--report-html", "r.html"},
       "error: option '--report-html' does not go with '--dry-run'"},
      {{"--dry-run", "--metrics", "m.prom"},
       "error: option '--metrics' does not go with '--dry-run'"},
      {{"--nagios", "--dry-run"},
       "nagios error: option '--nagios' does not go with '--dry-run'"},
      {{"--nagios", "--json"},
       "nagios error: option '--nagios' does not go with '--json'"},
      {{"--quiet", "--nag"},
       "nagios error: option '--nagios' does not go with '--quiet'"},
      {{"--x", "--nagios"}, "nagios error: unrecognized option '--x'"},
      {{"--nagios=1"}, "nagios error: option '--nagios' takes no value"},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(beyond_the_settings(parse_command_line(args)), expected)
        << describe(args);
  }
}

// The options of TLS trust and of the password's file, and what they do not
// go with.
TEST(CommandLineTest, TrustAndSecretFileOptions) {
  const std::string a = "sha256//QOi3GgEP5H8oUsmKZDsCthN0bFN74VsDMSL3tO5AXPA=";
  const std::string b = "sha256//ScO/SDJdj+TB+wlJQD0eskGXYysB2kyo97RnMmLGI+E=";
  const std::string kBadPin =
      "error: option '--tls-pin' expects sha256// and the base64 of a SHA-256 "
      "hash, several joined by ';'";
  const std::pair<Args, std::string> cases[] = {
      {{"--tls-pin", a}, "run tls-pin=" + a},
      // Given twice, both count, as when joined by ';'.
      {{"--tls-pin", a, "--tls-p=" + b}, "run tls-pin=" + a + ";" + b},
      {{"--tls-pin", a + ";" + b}, "run tls-pin=" + a + ";" + b},
      {{"--tls-pin", "sha256//AAAA"}, kBadPin},
      {{"--tls-pin", a + ";"}, kBadPin},
      {{"--tls-pin="}, kBadPin},
      {{"--tls-ca", "ca.pem", "--tls-pin", a},
       "run tls-pin=" + a + " tls-ca=ca.pem"},
      {{"--tls-ca="}, "error: option '--tls-ca' expects a file name"},
      {{"--tls-s", "--controller_ip", "h"}, "run tls-show-pin"},
      {{"--tls-show-pin"},
       "error: option '--tls-show-pin' needs '--controller_ip'"},
      {{"--tls-show-pin", "--controller_ip="},
       "error: option '--tls-show-pin' needs '--controller_ip'"},
      {{"--tls-show-pin", "--controller_ip", "h", "--dry-run"},
       "error: option '--tls-show-pin' does not go with '--dry-run'"},
      {{"--tls-show-pin", "--controller_ip", "h", "--metrics", "m"},
       "error: option '--tls-show-pin' does not go with '--metrics'"},
      {{"--tls-show-pin", "--controller_ip", "h", "--nagios"},
       "nagios error: option '--tls-show-pin' does not go with '--nagios'"},
      {{"--tls-show-pin=1"}, "error: option '--tls-show-pin' takes no value"},
      {{"--secret-file", "pw"}, "run secret-file=pw"},
      {{"--se=pw", "--password="}, "run secret-file=pw"},
      {{"--secret-file", "pw", "--password", "x"},
       "error: option '--secret-file' does not go with '--password'"},
      {{"--secret-file="}, "error: option '--secret-file' expects a file name"},
      // New names that share a prefix with older ones.
      {{"--t", "3"},
       "error: ambiguous option '--t' could match '--timeout', '--tls-pin', "
       "'--tls-ca', '--tls-show-pin'"},
      {{"--tls", "x"},
       "error: ambiguous option '--tls' could match '--tls-pin', '--tls-ca', "
       "'--tls-show-pin'"},
      {{"--s"},
       "error: ambiguous option '--s' could match '--strict', "
       "'--secret-file'"},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(beyond_the_settings(parse_command_line(args)), expected)
        << describe(args);
  }
}

TEST(CommandLineTest, UsageWrapsForEightyColumns) {
  EXPECT_EQ(
      usage_text("tarnwick"),
      "usage: tarnwick [-h] [--controller_ip CONTROLLER_IP] [--username "
      "USERNAME]\n"
      "                [--password PASSWORD] [--config_dir CONFIG_DIR] "
      "[--verbose]\n"
      "                [--timeout SECONDS] [--keep-going] [--json] [--only "
      "NAME]\n"
      "                [--version] [--dry-run] [--expect] [--baseline FILE]\n"
      "                [--fail-http] [--quiet] [--strict] "
      "[--reuse-connections]\n"
      "                [--reuse-session] [--report-junit FILE] "
      "[--report-html FILE]\n"
      "                [--metrics FILE] [--nagios] [--in-flight N] [--tls-pin "
      "PIN]\n"
      "                [--tls-ca FILE] [--tls-show-pin] [--secret-file "
      "FILE]\n");
  // A long program name stands on the first line by itself.
  std::string long_name(70, 'n');
  std::string usage = usage_text(long_name);
  EXPECT_EQ(usage.substr(0, 7 + 70 + 1), "usage: " + long_name + "\n");
  std::istringstream lines(usage.substr(7 + 70 + 1));
  std::string line, joined;
  while (std::getline(lines, line)) {
    EXPECT_LE(line.size(), 78u) << line;
    EXPECT_EQ(line.substr(0, 7), "       ") << line;
    joined += line.substr(6);
  }
  EXPECT_EQ(
      joined,
      " [-h] [--controller_ip CONTROLLER_IP] [--username USERNAME] [--password "
      "PASSWORD] [--config_dir CONFIG_DIR] [--verbose] [--timeout SECONDS] "
      "[--keep-going] [--json] [--only NAME] [--version] [--dry-run] "
      "[--expect] [--baseline FILE] [--fail-http] [--quiet] [--strict] "
      "[--reuse-connections] [--reuse-session] [--report-junit FILE] "
      "[--report-html FILE] [--metrics FILE] [--nagios] [--in-flight N] "
      "[--tls-pin PIN] [--tls-ca FILE] [--tls-show-pin] [--secret-file FILE]");
}

TEST(CommandLineTest, ProgramNameIsTheLastPathComponent) {
  EXPECT_EQ(program_name_from("/usr/local/bin/tarnwick"), "tarnwick");
  EXPECT_EQ(program_name_from("./tw"), "tw");
  EXPECT_EQ(program_name_from("tw"), "tw");
  EXPECT_EQ(program_name_from("dir/"), "tarnwick");
  EXPECT_EQ(program_name_from(""), "tarnwick");
  EXPECT_EQ(program_name_from(nullptr), "tarnwick");
}

}  // namespace
}  // namespace tarnwick
