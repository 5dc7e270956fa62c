#include "tarnwick/app/operations.h"

#include "tarnwick/base/clock.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/secret.h"
#include "tarnwick/check/check_run.h"
#include "tarnwick/check/run_settings.h"
#include "tarnwick/check/session.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/wire/curl_transport.h"

namespace tarnwick {

namespace {

// The CurlTransport of the process, on a SteadyClock, made at first use.
Transport& process_curl_transport() {
  static SteadyClock clock;
  static CurlTransport transport(clock);
  return transport;
}

// The run settings of a call: the address and credentials it was given,
// the rest as they are without options.
void fill_settings(RunSettings& settings, const std::string& controller_ip,
                   const std::string& username, const std::string& password) {
  settings.controller_ip = controller_ip;
  settings.username = username;
  settings.password = password;
}

}  // namespace

Value orvantis_api(const std::string& controller_ip,
                   const std::string& username, const std::string& password,
                   const std::string& config_dir,
                   const std::string& config_file, Transport& transport) {
  // Read before the login, so a missing or rejected file fails without one.
  CheckFile config;
  try {
    config = CheckFile::load(config_file);
  } catch (const Error& e) {
    throw e.with_message(e.what() + (" (in " + config_file + ")"));
  }
  RunSettings settings;
  WipedOnExit wiped(settings.password);
  fill_settings(settings, controller_ip, username, password);
  settings.config_dir = config_dir;
  return run_check(settings, config, config_file, transport);
}

Value orvantis_api(const std::string& controller_ip,
                   const std::string& username, const std::string& password,
                   const std::string& config_dir,
                   const std::string& config_file) {
  return orvantis_api(controller_ip, username, password, config_dir,
                      config_file, process_curl_transport());
}

Value get_orvantis_cid(const std::string& controller_ip,
                       const std::string& username, const std::string& password,
                       Transport& transport) {
  RunSettings settings;
  WipedOnExit wiped(settings.password);
  fill_settings(settings, controller_ip, username, password);
  return log_in(settings, "", transport);
}

Value get_orvantis_cid(const std::string& controller_ip,
                       const std::string& username,
                       const std::string& password) {
  return get_orvantis_cid(controller_ip, username, password,
                          process_curl_transport());
}

}  // namespace tarnwick
