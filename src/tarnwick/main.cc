#include "tarnwick/main.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/check_run.h"
#include "tarnwick/command_line.h"
#include "tarnwick/config_dir.h"
#include "tarnwick/error.h"
#include "tarnwick/output.h"
#include "tarnwick/prompt.h"
#include "tarnwick/session.h"
#include "tarnwick/suite_run.h"

namespace tarnwick {

namespace {

// A closed standard descriptor would be handed to the next file opened (the
// terminal, a connection), and the report would go there. /dev/null read-only
// takes its place: reading gives end of input, writing fails as before.
void occupy_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

// Best effort: there is nowhere left to report a failure to write.
void write_fd(int fd, std::string_view s) {
  while (!s.empty()) {
    ssize_t n = write(fd, s.data(), s.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    s.remove_prefix(static_cast<std::size_t>(n));
  }
}

void flush_quietly(Output& out) {
  try {
    out.flush();
  } catch (const Error&) {
    // What could not be written is lost; the failure being reported counts.
  }
}

// "tarnwick: KIND: MESSAGE" as exactly one line, whatever the message holds.
void report_failure(std::string_view kind, std::string_view message) {
  std::string line = "tarnwick: ";
  line += kind;
  line += ": ";
  for (char c : message) {
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else {
      line += c;
    }
  }
  line += '\n';
  write_fd(STDERR_FILENO, line);
}

bool given(const std::optional<std::string>& option) {
  return option && !option->empty();
}

// Fixes the settings in the documented order: address prompt, user name,
// password prompt, then the default directory (so a missing one is reported
// after the prompts and before any request).
RunSettings fix_settings(const CommandLine& command_line) {
  RunSettings settings;
  settings.controller_ip = given(command_line.controller_ip)
                               ? *command_line.controller_ip
                               : prompt_for_address();
  settings.username =
      given(command_line.username) ? *command_line.username : "admin";
  settings.password = given(command_line.password) ? *command_line.password
                                                   : prompt_for_password();
  settings.config_dir = given(command_line.config_dir)
                            ? *command_line.config_dir
                            : get_default_config_dir();
  return settings;
}

// Everything main does, failures thrown to its one handler.
int run(int argc, char** argv, Output& out) {
  const std::string program = program_name_from(argc > 0 ? argv[0] : nullptr);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

  const CommandLine command_line = parse_command_line(args);
  switch (command_line.outcome) {
    case CommandLine::Outcome::kHelp:
      out.write(help_text(program));
      out.flush();
      return kExitSuccess;
    case CommandLine::Outcome::kError:
      write_fd(STDERR_FILENO, usage_text(program) + program +
                                  ": error: " + command_line.error + "\n");
      return kExitUsage;
    case CommandLine::Outcome::kRun:
      break;
  }

  install_interruption_handlers();
  const RunSettings settings = fix_settings(command_line);
  get_orvantis_cid(settings.controller_ip, settings.username,
                   settings.password);
  run_check_suite(settings, out);
  out.flush();
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  occupy_closed_standard_descriptors();
  Output out(STDOUT_FILENO);
  try {
    return run(argc, argv, out);
  } catch (const Error& e) {
    flush_quietly(out);
    if (e.kind() == ErrorKind::kLoginFailed) {
      // A failed login is a failed run: cron jobs and pipelines must be able
      // to tell that no check ran.
      out.write("Login failed\n");
      flush_quietly(out);
    } else {
      report_failure(error_kind_name(e.kind()), e.what());
    }
  } catch (const std::bad_alloc&) {
    flush_quietly(out);
    report_failure("internal error", "out of memory");
  } catch (const std::exception& e) {
    flush_quietly(out);
    report_failure("internal error", e.what());
  }
  return kExitFailure;
}

}  // namespace tarnwick
