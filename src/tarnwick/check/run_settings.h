// The run settings: the values every check of a run uses, fixed before the
// opening login (app/settings.h fixes them from the command line and the
// prompts) and never changed afterwards, but for the session that the
// opening login may leave for the checks. How requests are sent (time
// bounds, kept connections) is the transport's (wire/transport_options.h).
#ifndef TARNWICK_CHECK_RUN_SETTINGS_H_
#define TARNWICK_CHECK_RUN_SETTINGS_H_

#include <cstddef>
#include <optional>
#include <string>

#include "tarnwick/base/value.h"

namespace tarnwick {

struct RunSettings {
  std::string controller_ip;
  std::string username;
  std::string password;
  std::string config_dir;
  // Whether a reply to a check's request with an HTTP status of 400 or above
  // fails the check (--fail-http); logins keep their own rule.
  bool fail_http = false;
  // How many element requests of a compound check may be in flight at once
  // (--in-flight), from 1: one after another.
  std::size_t in_flight = 1;
  // The opening login's CID, once it has returned, when the checks go on in
  // that session (--reuse-session); unset, each check logs in anew.
  std::optional<Value> session;
};

}  // namespace tarnwick

#endif  // TARNWICK_CHECK_RUN_SETTINGS_H_
