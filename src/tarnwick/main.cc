#include "tarnwick/main.h"

#include <unistd.h>

#include <exception>

#include "tarnwick/clock.h"
#include "tarnwick/command.h"
#include "tarnwick/curl_transport.h"
#include "tarnwick/failure_report.h"
#include "tarnwick/interruption.h"
#include "tarnwick/output.h"
#include "tarnwick/process.h"
#include "tarnwick/prompt.h"

namespace tarnwick {

int main(int argc, char** argv) {
  harden_process();
  install_interruption_handlers();
  SteadyClock clock;
  CurlTransport transport(clock);
  TerminalPrompter prompter;
  Output out(STDOUT_FILENO);
  Output err(STDERR_FILENO);
  Environment env{transport, prompter, out, err, clock};
  try {
    return run_command(argc, argv, env);
  } catch (...) {
    return report_failure(std::current_exception(), out, err, true);
  }
}

}  // namespace tarnwick
