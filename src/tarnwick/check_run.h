// Check execution: one check file against the controller.
#ifndef TARNWICK_CHECK_RUN_H_
#define TARNWICK_CHECK_RUN_H_

#include <string>

#include "tarnwick/session.h"
#include "tarnwick/value.h"

namespace tarnwick {

// The four settings of a run, fixed before the opening login.
struct RunSettings {
  std::string controller_ip;
  std::string username;
  std::string password;
  std::string config_dir;
};

// Runs the check file at config_file (opened unchanged) and returns its
// result: the filtered reply, or for a compound check the list of records
// {"object", "results"}. Logs in anew for this check; a compound check first
// runs the check it refers to (found through config_dir). Every failure is
// thrown as an Error; a failed login as Error(kLoginFailed).
Value orvantis_api(const std::string& controller_ip,
                   const std::string& username, const std::string& password,
                   const std::string& config_dir,
                   const std::string& config_file,
                   Transport& transport = default_transport());

}  // namespace tarnwick

#endif  // TARNWICK_CHECK_RUN_H_
