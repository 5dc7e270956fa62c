#include "tarnwick/app/settings.h"

#include <optional>

#include "tarnwick/app/command_line.h"
#include "tarnwick/app/config_dir.h"
#include "tarnwick/app/prompt.h"
#include "tarnwick/base/secret_file.h"

namespace tarnwick {

namespace {

bool given(const std::optional<std::string>& option) {
  return option && !option->empty();
}

}  // namespace

void fix_settings(const CommandLine& command_line, Prompter& prompter,
                  RunSettings& settings) {
  settings.controller_ip =
      given(command_line.controller_ip)
          ? *command_line.controller_ip
          : prompter.address(command_line.json || command_line.quiet ||
                             command_line.nagios);
  settings.username =
      given(command_line.username) ? *command_line.username : "admin";
  if (given(command_line.password)) {
    settings.password = *command_line.password;
  } else if (command_line.secret_file) {
    settings.password = read_secret_file(*command_line.secret_file);
  } else {
    settings.password = prompter.password();
  }
  settings.config_dir = check_directory(command_line);
  settings.fail_http = command_line.fail_http;
  settings.in_flight = command_line.in_flight.value_or(1);
}

TransportOptions transport_options(const CommandLine& command_line) {
  TransportOptions options;
  options.timeout = command_line.timeout;
  // Requests side by side go over kept connections, even one at a time.
  options.reuse_connections =
      command_line.reuse_connections || command_line.in_flight.has_value();
  if (command_line.tls_pin)
    options.trust.pinned_public_keys = *command_line.tls_pin;
  if (command_line.tls_ca) options.trust.ca_file = *command_line.tls_ca;
  return options;
}

std::string check_directory(const CommandLine& command_line) {
  return given(command_line.config_dir) ? *command_line.config_dir
                                        : get_default_config_dir();
}

}  // namespace tarnwick
