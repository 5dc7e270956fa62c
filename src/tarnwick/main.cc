#include "tarnwick/main.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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
#include "tarnwick/exit_status.h"
#include "tarnwick/output.h"
#include "tarnwick/prompt.h"
#include "tarnwick/session.h"
#include "tarnwick/suite_run.h"
#include "tarnwick/text.h"

namespace tarnwick {

namespace {

// The process holds the password: no core file may keep a copy of its
// memory, and no other process of the same user may read it (a
// non-dumpable process cannot be attached to either). libcurl writes the TLS
// session secrets to the file that SSLKEYLOGFILE names, which would let
// anyone with a capture read the login form: that variable is dropped before
// libcurl starts.
void protect_process_memory() {
  struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  unsetenv("SSLKEYLOGFILE");
}

// Writes to a reader that went away fail with EPIPE instead of ending the
// process unannounced, whichever of the report or a connection it happens
// on; main decides what a broken report pipe means.
void ignore_broken_pipes() {
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

// Overwrites the value of every --password option (under any prefix that
// names it, attached with "=" or given as the next argument) in the
// process's own argument memory, so the process list no longer shows it.
// Only for a command line the parser accepted: there every option name
// without "=" is followed by its value.
void hide_password_arguments(int argc, char** argv) {
  constexpr std::string_view kPasswordOption = "--password";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!arg.starts_with("--")) continue;
    const std::size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const bool is_password =
        name.size() > 2 && kPasswordOption.starts_with(name);
    char* value = nullptr;
    if (equals != std::string_view::npos) {
      value = argv[i] + equals + 1;
    } else if (i + 1 < argc) {
      value = argv[++i];
    }
    if (is_password && value != nullptr) memset(value, '*', strlen(value));
  }
}

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
// Messages carry file names and controller text: control characters (C0,
// DEL and C1, which some terminals obey as well) and bytes that are not
// UTF-8 are written as escapes, so that none can move the cursor, clear the
// screen or retitle the terminal, and the line stays valid UTF-8.
void report_failure(std::string_view kind, std::string_view message) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string line = "tarnwick: ";
  line += kind;
  line += ": ";
  std::size_t pos = 0;
  while (pos < message.size()) {
    const std::size_t start = pos;
    char32_t c;
    if (!decode_utf8(message, pos, c)) {
      c = static_cast<unsigned char>(message[pos++]);
    } else if (c >= 0x20 && (c < 0x7f || c > 0x9f)) {
      line.append(message.substr(start, pos - start));
      continue;
    }
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else if (c == '\t') {
      line += "\\t";
    } else {
      line += "\\x";
      line += kHex[c >> 4];
      line += kHex[c & 0xf];
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
// after the prompts and before any request). Fills settings in place, so the
// password is not left behind in a temporary.
void fix_settings(const CommandLine& command_line, RunSettings& settings) {
  settings.controller_ip = given(command_line.controller_ip)
                               ? *command_line.controller_ip
                               : prompt_for_address();
  settings.username =
      given(command_line.username) ? *command_line.username : "admin";
  if (given(command_line.password)) {
    settings.password = *command_line.password;
  } else {
    settings.password = prompt_for_password();
  }
  settings.config_dir = given(command_line.config_dir)
                            ? *command_line.config_dir
                            : get_default_config_dir();
}

// Clears the copies of the password that run() holds, on every way out.
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

// Everything main does, failures thrown to its one handler.
int run(int argc, char** argv, Output& out) {
  const std::string program = program_name_from(argc > 0 ? argv[0] : nullptr);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

  CommandLine command_line = parse_command_line(args);
  RunSettings settings;
  PasswordCopies password_copies(args, command_line, settings);
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

  hide_password_arguments(argc, argv);
  install_interruption_handlers();
  fix_settings(command_line, settings);
  get_orvantis_cid(settings.controller_ip, settings.username,
                   settings.password);
  run_check_suite(settings, out);
  out.flush();
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  protect_process_memory();
  ignore_broken_pipes();
  occupy_closed_standard_descriptors();
  Output out(STDOUT_FILENO);
  try {
    return run(argc, argv, out);
  } catch (const OutputError& e) {
    // The reader of the report went away (`tarnwick | head`): end quietly,
    // as a process that SIGPIPE ended would.
    if (e.error_number() == EPIPE) return kExitBrokenPipe;
    report_failure(error_kind_name(e.kind()), e.what());
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
