#include "tarnwick/command.h"

#include <string>
#include <vector>

#include "tarnwick/command_line.h"
#include "tarnwick/exit_status.h"
#include "tarnwick/failure_report.h"
#include "tarnwick/process.h"
#include "tarnwick/secret.h"
#include "tarnwick/session.h"
#include "tarnwick/settings.h"
#include "tarnwick/suite_run.h"
#include "tarnwick/text_report.h"
#include "tarnwick/traced_transport.h"

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
    case CommandLine::Outcome::kError:
      write_line_quietly(env.err, usage_text(program) + program +
                                      ": error: " + command_line.error + "\n");
      return kExitUsage;
    case CommandLine::Outcome::kRun:
      break;
  }

  hide_password_arguments(argv, command_line.password_positions);
  fix_settings(command_line, env.prompter, settings);
  TracedTransport transport(env.transport, env.out,
                            command_line.verbose ? &env.err : nullptr,
                            env.clock);
  log_in(settings, "", transport);
  TextReport report(env.out);
  run_check_suite(settings, transport, report);
  env.out.flush();
  return kExitSuccess;
}

}  // namespace tarnwick
