#include "tarnwick/app/process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace tarnwick {

namespace {

void protect_process_memory() {
  struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  unsetenv("SSLKEYLOGFILE");
}

void ignore_broken_pipes() {
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

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

}  // namespace

void harden_process() {
  protect_process_memory();
  ignore_broken_pipes();
  occupy_closed_standard_descriptors();
}

void hide_password_arguments(
    char** argv, const std::vector<CommandLine::Position>& positions) {
  for (const CommandLine::Position& at : positions) {
    char* argument = argv[at.argument + 1];
    const std::size_t length = strlen(argument);
    if (at.offset < length)
      memset(argument + at.offset, '*', length - at.offset);
  }
}

}  // namespace tarnwick
