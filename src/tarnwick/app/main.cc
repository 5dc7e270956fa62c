#include "tarnwick/app/main.h"

#include <unistd.h>

#include <exception>

#include "tarnwick/app/command.h"
#include "tarnwick/app/failure_report.h"
#include "tarnwick/app/interruption.h"
#include "tarnwick/app/process.h"
#include "tarnwick/app/prompt.h"
#include "tarnwick/base/clock.h"
#include "tarnwick/base/output.h"
#include "tarnwick/wire/curl_transport.h"

namespace tarnwick {

int main(int argc, char** argv) {
  harden_process();
  install_interruption_handlers();
  Cancellation cancellation;
  const InterruptionRoute route(cancellation);
  SteadyClock clock;
  CurlTransportFactory transports(clock);
  TerminalPrompter prompter;
  Output out(STDOUT_FILENO);
  Output err(STDERR_FILENO);
  Environment env{transports, prompter, out, err, clock, &cancellation};
  try {
    return run_command(argc, argv, env);
  } catch (...) {
    return report_failure(std::current_exception(), out, err, true);
  }
}

}  // namespace tarnwick
