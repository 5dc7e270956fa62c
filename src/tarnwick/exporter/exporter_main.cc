#include "tarnwick/exporter/exporter_main.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <malloc.h>
#include <microhttpd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/error_line.h"
#include "tarnwick/base/exit_status.h"
#include "tarnwick/base/output.h"
#include "tarnwick/exporter/config_check.h"
#include "tarnwick/exporter/exporter.h"
#include "tarnwick/exporter/exporter_flags.h"
#include "tarnwick/exporter/http_server.h"
#include "tarnwick/exporter/logfmt.h"
#include "tarnwick/exporter/probe_transport.h"
#include "tarnwick/exporter/web_guard.h"
#include "tarnwick/wire/curl_transport.h"

namespace tarnwick {

namespace {

// How long the probes that run get to end once the exporter stops.
constexpr std::chrono::seconds kStopGrace{2};

// The process holds passwords: no core file, no other process of the user
// reading its memory, no TLS secrets written out; a write to a closed
// connection fails instead of ending the process; a closed standard
// descriptor is taken by /dev/null, so no socket becomes standard error.
void harden_process() {
  struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  unsetenv("SSLKEYLOGFILE");
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

// One malloc arena per processor, not glibc's eight: every probe thread
// would otherwise come to hold an arena of its own, and the resident set
// would grow with each thread that first runs a probe (27 to 35 MB over the
// first 1,600 probes of the bench, 20 to 22 MB with one arena, at the same
// CPU per probe).
void limit_malloc_arenas() {
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  mallopt(M_ARENA_MAX, static_cast<int>(processors > 0 ? processors : 1));
}

std::string program_name(const char* argv0) {
  if (argv0 == nullptr || *argv0 == '\0') return "tarnwick_exporter";
  const char* slash = strrchr(argv0, '/');
  return slash ? slash + 1 : argv0;
}

// Serves until SIGTERM or SIGINT, reading the configuration again at
// SIGHUP. The signals are blocked in every thread and taken here.
int serve(const ExporterFlags& flags, Logger& log, Clock& clock) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  RealConfigFiles files;
  ExporterOptions options;
  options.config_file = flags.config_file;
  options.enable_lifecycle = flags.enable_lifecycle;
  options.max_in_flight = flags.max_in_flight;
  options.timeout_offset = flags.timeout_offset;
  // Before the exporter, which reads it at each reload; it hands requests
  // on to the exporter.
  std::unique_ptr<WebGuard> guard;
  options.read_web = [&guard](std::vector<std::string>& problems) {
    return guard->read(problems);
  };
  Exporter exporter(options, files, log, clock, make_controller_transport);
  guard = std::make_unique<WebGuard>(flags.web_config_file, files, exporter);
  if (!exporter.reload("start")) return kExitFailure;

  HttpServerOptions server_options;
  server_options.host = flags.listen_host;
  server_options.port = flags.listen_port;
  server_options.log_error = [&log](const std::string& text) {
    log.log(LogLevel::kWarn, text, {{"component", "http"}});
  };
  const bool tls = guard->tls() != nullptr;
  if (tls) server_options.tls = [&guard] { return guard->tls(); };
  std::unique_ptr<HttpServer> server;
  try {
    server = std::make_unique<HttpServer>(*guard, server_options);
  } catch (const Error& e) {
    log.log(LogLevel::kError, e.what());
    return kExitFailure;
  }
  const std::string host = flags.listen_host.find(':') != std::string::npos
                               ? "[" + flags.listen_host + "]"
                               : flags.listen_host;
  log.log(LogLevel::kInfo, "listening",
          {{"address", host + ":" + std::to_string(server->port())},
           {"lifecycle", flags.enable_lifecycle ? "true" : "false"},
           {"tls", tls ? "true" : "false"}});
  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGHUP) {
      exporter.reload("SIGHUP");
      continue;
    }
    log.log(LogLevel::kInfo, "stopping",
            {{"signal", signal == SIGINT ? "SIGINT" : "SIGTERM"}});
    break;
  }
  server->stop(
      {503, "text/plain; charset=utf-8", "the exporter is stopping\n", {}});
  guard->stop_checks();
  if (!exporter.stop_probes(kStopGrace)) {
    // A probe waits on a request still; its deadline would end it, but the
    // process need not wait for that.
    log.log(LogLevel::kWarn, "probes still running; leaving them");
    _exit(kExitSuccess);
  }
  return kExitSuccess;
}

}  // namespace

int exporter_main(int argc, char** argv) {
  harden_process();
  const std::string program = program_name(argc > 0 ? argv[0] : nullptr);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  Output out(STDOUT_FILENO);
  Output err(STDERR_FILENO);
  const ExporterFlags flags = parse_exporter_flags(args);
  try {
    switch (flags.outcome) {
      case ExporterFlags::Outcome::kHelp:
        out.write(exporter_help(program));
        out.flush();
        return kExitSuccess;
      case ExporterFlags::Outcome::kVersion:
        out.write(std::string("tarnwick_exporter ") + TARNWICK_VERSION + "\n" +
                  http_library_versions() + "libmicrohttpd " +
                  MHD_get_version() + "\n");
        out.flush();
        return kExitSuccess;
      case ExporterFlags::Outcome::kError:
        write_line_quietly(err, program + ": error: " + flags.error + "\n" +
                                    "Try '" + program + " --help'.\n");
        return kExitUsage;
      case ExporterFlags::Outcome::kRun:
        break;
    }
    // Once, before any thread: libcurl's global state.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (flags.config_check) {
      RealConfigFiles files;
      const int status =
          check_configuration(flags.config_file, files, out, err);
      if (flags.web_config_file.empty()) return status;
      const std::vector<std::string> problems =
          WebGuard::check(flags.web_config_file, files);
      for (const std::string& problem : problems)
        write_line_quietly(err, problem + "\n");
      if (!problems.empty()) return kExitFailure;
      write_line_quietly(out, flags.web_config_file + ": no problems\n");
      return status;
    }
    limit_malloc_arenas();
    SteadyClock clock;
    Logger log(err, clock, flags.log_level);
    return serve(flags, log, clock);
  } catch (const std::exception& e) {
    write_line_quietly(err, program + ": internal error: " + e.what() + "\n");
    return kExitFailure;
  }
}

}  // namespace tarnwick
