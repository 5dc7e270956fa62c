#include "tarnwick/app/command.h"

#include <memory>
#include <string>
#include <vector>

#include "tarnwick/app/command_line.h"
#include "tarnwick/app/end_reports.h"
#include "tarnwick/app/failure_report.h"
#include "tarnwick/app/process.h"
#include "tarnwick/app/settings.h"
#include "tarnwick/app/show_pin.h"
#include "tarnwick/app/traced_transport.h"
#include "tarnwick/app/usage.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/exit_status.h"
#include "tarnwick/base/secret.h"
#include "tarnwick/base/text.h"
#include "tarnwick/check/session.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/compare/baseline.h"
#include "tarnwick/report/json_report.h"
#include "tarnwick/report/nagios_report.h"
#include "tarnwick/report/quiet_report.h"
#include "tarnwick/report/text_report.h"
#include "tarnwick/suite/baseline_check.h"
#include "tarnwick/suite/dry_run.h"
#include "tarnwick/suite/suffix_hint.h"
#include "tarnwick/suite/suite_run.h"
#include "tarnwick/suite/tally.h"
#include "tarnwick/wire/curl_transport.h"
#include "tarnwick/wire/tls_certificate.h"
#include "tarnwick/wire/tls_trust.h"

namespace tarnwick {

namespace {

// Clears the copies of the password that run_command holds, on every way
// out.
class PasswordCopies {
 public:
  PasswordCopies(std::vector<std::string>& args, CommandLine& command_line,
                 RunSettings& settings)
      : args_(args), command_line_(command_line), settings_(settings) {}
  PasswordCopies(const PasswordCopies&) = delete;
  PasswordCopies& operator=(const PasswordCopies&) = delete;
  ~PasswordCopies() {
    for (std::string& arg : args_) wipe_secret(arg);
    if (command_line_.password) wipe_secret(*command_line_.password);
    wipe_secret(settings_.password);
  }

 private:
  std::vector<std::string>& args_;
  CommandLine& command_line_;
  RunSettings& settings_;
};

// The report on standard output: text or JSON Lines, every check's or only
// those that need attention.
std::unique_ptr<ReportWriter> make_report(const CommandLine& command_line,
                                          Output& out) {
  auto make_writer = [&command_line](Output& to) {
    return command_line.json ? make_json_report(to, command_line.quiet)
                             : make_text_report(to);
  };
  if (command_line.quiet) return make_quiet_report(out, make_writer);
  return make_writer(out);
}

// A CA file that cannot be used ends the run here, before anything is asked
// for or sent.
void check_trust_files(const CommandLine& command_line) {
  if (command_line.tls_ca) check_ca_file(*command_line.tls_ca);
}

// --tls-show-pin: the handshake alone, under the trust asked for; no
// password is asked for or read, and nothing is sent.
int run_show_pin(const CommandLine& command_line, Environment& env) {
  check_trust_files(command_line);
  TransportOptions options = transport_options(command_line);
  options.cancellation = env.cancellation;
  const std::unique_ptr<Transport> transport =
      env.transports.make_transport(options);
  Request request;
  request.url = controller_api_url(*command_line.controller_ip);
  write_certificate(transport->presented_certificate(request),
                    command_line.json, env.out);
  env.out.flush();
  return kExitSuccess;
}

// The run, once the command line is accepted: the settings fixed, the --only
// names examined, the opening login, then the checks. Fills outcome as it
// goes, so that it tells how far a run got that a failure ends; so do
// end_reports, which are handed every check too.
int run(const CommandLine& command_line, RunSettings& settings,
        Environment& env, SuiteTally& tally, EndReports& end_reports) {
  check_trust_files(command_line);
  fix_settings(command_line, env.prompter, settings);
  // A name that is no check file ends the run before anything is sent,
  // whether the run would go on past failed checks or not.
  for (const std::string& name : command_line.only) {
    try {
      CheckFile::check_readable(join_check_path(settings.config_dir, name));
    } catch (const Error& e) {
      rethrow_with_suffix_hint(e, settings.config_dir, name);
    }
  }
  // So is an earlier run's file that cannot be compared with: one that is
  // not such a file, that is standard output itself, or that has none of
  // the checks (listed before the login for that).
  std::optional<Baseline> baseline;
  std::vector<std::string> names = command_line.only;
  if (command_line.baseline) {
    baseline = Baseline::open(*command_line.baseline, env.out.fd());
    if (names.empty()) names = list_checks(settings.config_dir);
    check_baseline_has_checks(*baseline, names);
  }
  TransportOptions options = transport_options(command_line);
  options.cancellation = env.cancellation;
  const std::unique_ptr<Transport> sender =
      env.transports.make_transport(options);
  TracedTransport transport(*sender, env.out,
                            command_line.verbose ? &env.err : nullptr,
                            env.clock, &end_reports.traffic());
  Value session = log_in(settings, "", transport);
  // Otherwise discarded: every check logs in for itself.
  if (command_line.reuse_session) settings.session = std::move(session);
  if (names.empty() && !baseline) names = list_checks(settings.config_dir);
  end_reports.set_checks(names);
  // With --nagios, standard output carries the plugin's status line alone.
  const std::unique_ptr<ReportWriter> report =
      command_line.nagios ? nullptr : make_report(command_line, env.out);
  std::vector<ReportWriter*> writers = end_reports.writers();
  if (report) writers.insert(writers.begin(), report.get());
  ForwardingReport forward(std::move(writers));
  Suite suite{settings, transport, forward, env.clock, env.err};
  suite.keep_going = command_line.keep_going;
  suite.cancellation = env.cancellation;
  suite.expect = command_line.expect;
  if (baseline) suite.baseline = &*baseline;
  run_checks(suite, names, tally);
  env.out.flush();
  if (baseline && command_line.only.empty()) {
    const std::vector<std::string> gone = checks_not_run(*baseline, tally.runs);
    if (!gone.empty()) {
      write_line_quietly(env.err, error_line("baseline",
                                             "the earlier run had checks "
                                             "this run did not run: " +
                                                 join_with_commas(gone)));
    }
  }
  return tally.exit_status();
}

// The dry run: nothing is asked for and nothing sent, the checks are read
// and planned, each by itself.
int run_dry(const CommandLine& command_line, Environment& env,
            SuiteTally& tally) {
  const std::string config_dir = check_directory(command_line);
  const std::vector<std::string> names =
      command_line.only.empty() ? list_checks(config_dir) : command_line.only;
  tally.checks = names.size();
  tally.strict = command_line.strict;
  if (command_line.only.empty() && names.empty()) {
    write_line_quietly(env.err,
                       error_line("warning", no_checks_warning(config_dir)));
    ++tally.warnings;
  }
  const std::unique_ptr<ReportWriter> report =
      make_report(command_line, env.out);
  PlannedSections sections;
  sections.expect = command_line.expect;
  sections.compare = command_line.baseline.has_value();
  sections.all = command_line.strict;
  // The earlier run's file is checked as a run would check it.
  if (command_line.baseline) {
    check_baseline_has_checks(
        Baseline::open(*command_line.baseline, env.out.fd()), names);
  }
  tally.warnings +=
      dry_run(config_dir, names, sections, *report, env.err, tally.failed);
  env.out.flush();
  return tally.exit_status();
}

}  // namespace

int run_command(int argc, char** argv, Environment& env) {
  const std::string program = program_name_from(argc > 0 ? argv[0] : nullptr);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

  CommandLine command_line = parse_command_line(args);
  RunSettings settings;
  PasswordCopies password_copies(args, command_line, settings);
  switch (command_line.outcome) {
    case CommandLine::Outcome::kHelp:
      env.out.write(help_text(program));
      env.out.flush();
      return kExitSuccess;
    case CommandLine::Outcome::kVersion:
      env.out.write(std::string("tarnwick ") + TARNWICK_VERSION + "\n" +
                    http_library_versions());
      env.out.flush();
      return kExitSuccess;
    case CommandLine::Outcome::kError:
      write_line_quietly(env.err, usage_text(program) + program +
                                      ": error: " + command_line.error + "\n");
      if (command_line.nagios) {
        write_line_quietly(
            env.out, plugin_unknown_line("usage error: " + command_line.error));
        return plugin_status(kExitUsage);
      }
      return kExitUsage;
    case CommandLine::Outcome::kRun:
      break;
  }

  hide_password_arguments(argv, command_line.password_positions);
  SuiteTally tally;
  EndReports end_reports(command_line, env.out, env.clock);
  int status = kExitSuccess;
  std::exception_ptr failure;
  try {
    // Before anything is asked for or sent.
    end_reports.check_files();
    if (command_line.dry_run) {
      status = run_dry(command_line, env, tally);
    } else if (command_line.tls_show_pin) {
      status = run_show_pin(command_line, env);
    } else {
      status = run(command_line, settings, env, tally, end_reports);
    }
  } catch (...) {
    // The usual report, unless "Login failed" must keep off a report for
    // programs, what the run found so far needs its summary after it, or
    // the reports of the run's end are still to be written.
    if (!command_line.json && tally.summary_lines().empty() &&
        !end_reports.any())
      throw;
    failure = std::current_exception();
    status = report_failure(failure, env.out, env.err,
                            !command_line.json && !command_line.nagios);
    // A closed pipe or an interruption: no summary.
    if (status != kExitFailure)
      return end_reports.finish(status, failure, settings, env.err);
  }
  const std::string summary = tally.summary_lines();
  if (!summary.empty()) write_line_quietly(env.err, summary);
  return end_reports.finish(status, failure, settings, env.err);
}

}  // namespace tarnwick
