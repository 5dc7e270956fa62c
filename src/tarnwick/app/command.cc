#include "tarnwick/app/command.h"

#include <memory>
#include <string>
#include <vector>

#include "tarnwick/app/command_line.h"
#include "tarnwick/app/failure_report.h"
#include "tarnwick/app/process.h"
#include "tarnwick/app/settings.h"
#include "tarnwick/app/traced_transport.h"
#include "tarnwick/app/usage.h"
#include "tarnwick/base/exit_status.h"
#include "tarnwick/base/secret.h"
#include "tarnwick/check/session.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/report/json_report.h"
#include "tarnwick/report/text_report.h"
#include "tarnwick/suite/dry_run.h"
#include "tarnwick/suite/suite_run.h"
#include "tarnwick/wire/curl_transport.h"

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

// How far a run got: the checks it set out to run, and those that failed
// without ending it.
struct RunOutcome {
  std::size_t checks = 0;
  std::vector<std::string> failed;
};

// The run, once the command line is accepted: the settings fixed, the --only
// names examined, the opening login, then the checks. Fills outcome as it
// goes, so that it tells how far a run got that a failure ends.
int run(const CommandLine& command_line, RunSettings& settings,
        Environment& env, RunOutcome& outcome) {
  fix_settings(command_line, env.prompter, settings);
  // A name that is no check file ends the run before anything is sent,
  // whether the run would go on past failed checks or not.
  for (const std::string& name : command_line.only)
    CheckFile::check_readable(join_check_path(settings.config_dir, name));
  TracedTransport transport(env.transport, env.out,
                            command_line.verbose ? &env.err : nullptr,
                            env.clock);
  Value session = log_in(settings, "", transport);
  // Otherwise discarded: every check logs in for itself.
  if (command_line.reuse_session) settings.session = std::move(session);
  const std::vector<std::string> names = command_line.only.empty()
                                             ? list_checks(settings.config_dir)
                                             : command_line.only;
  outcome.checks = names.size();
  const std::unique_ptr<ReportWriter> report =
      command_line.json ? make_json_report(env.out) : make_text_report(env.out);
  run_checks(settings, names, transport, *report, command_line.keep_going,
             env.err, outcome.failed);
  env.out.flush();
  return kExitSuccess;
}

// The dry run: nothing is asked for and nothing sent, the checks are read
// and planned, each by itself.
int run_dry(const CommandLine& command_line, Environment& env,
            RunOutcome& outcome) {
  const std::string config_dir = check_directory(command_line);
  const std::vector<std::string> names =
      command_line.only.empty() ? list_checks(config_dir) : command_line.only;
  outcome.checks = names.size();
  const std::unique_ptr<ReportWriter> report =
      command_line.json ? make_json_report(env.out) : make_text_report(env.out);
  dry_run(config_dir, names, *report, env.err, outcome.failed);
  env.out.flush();
  return kExitSuccess;
}

// "tarnwick: checks failed: 2 of 9: a.cfg, b.cfg"
std::string summary_line(const RunOutcome& outcome) {
  std::string message = std::to_string(outcome.failed.size()) + " of " +
                        std::to_string(outcome.checks) + ": ";
  for (std::size_t i = 0; i < outcome.failed.size(); ++i) {
    if (i > 0) message += ", ";
    message += outcome.failed[i];
  }
  return error_line("checks failed", message);
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
      return kExitUsage;
    case CommandLine::Outcome::kRun:
      break;
  }

  hide_password_arguments(argv, command_line.password_positions);
  RunOutcome outcome;
  int status = kExitSuccess;
  try {
    status = command_line.dry_run ? run_dry(command_line, env, outcome)
                                  : run(command_line, settings, env, outcome);
  } catch (...) {
    // The usual report, unless "Login failed" must keep off a JSON report or
    // the failures so far need their summary after it.
    if (!command_line.json && outcome.failed.empty()) throw;
    status = report_failure(std::current_exception(), env.out, env.err,
                            !command_line.json);
    if (status != kExitFailure) return status;  // a closed pipe: no summary
  }
  if (outcome.failed.empty()) return status;
  write_line_quietly(env.err, summary_line(outcome));
  return kExitFailure;
}

}  // namespace tarnwick
