// The library's two operations that talk to the controller, with the
// parameters they are known by: running one check file (orvantis_api) and
// logging in (get_orvantis_cid), each through a transport handed in or
// through the process's own libcurl transport. A thin layer over check
// execution (check/), which takes the run settings instead.
#ifndef TARNWICK_APP_OPERATIONS_H_
#define TARNWICK_APP_OPERATIONS_H_

#include <string>

#include "tarnwick/base/value.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

// Runs the check file at config_file (opened unchanged) and returns its
// result: the filtered reply, or for a compound check the list of records
// {"object", "results"}. Logs in anew for this check; a compound check first
// runs the check it refers to (found through config_dir). Every failure is
// thrown as an Error; a failed login as Error(kLoginFailed).
Value orvantis_api(const std::string& controller_ip,
                   const std::string& username, const std::string& password,
                   const std::string& config_dir,
                   const std::string& config_file, Transport& transport);

// The same through the process's libcurl transport, made at first use with
// the default TransportOptions.
Value orvantis_api(const std::string& controller_ip,
                   const std::string& username, const std::string& password,
                   const std::string& config_dir,
                   const std::string& config_file);

// Logs in through transport and returns the member "CID" of the reply,
// unchanged. Throws Error(kLoginFailed) when the reply is not JSON, not an
// object or lacks "CID", its message naming the URL, the user name, the
// reply's status, type and redirect and why it is no login (the members of
// an object by name only, never their values; the start of a body that is
// not JSON, the password taken out). The failures of Transport::post pass
// through.
Value get_orvantis_cid(const std::string& controller_ip,
                       const std::string& username, const std::string& password,
                       Transport& transport);

// The same through the process's libcurl transport.
Value get_orvantis_cid(const std::string& controller_ip,
                       const std::string& username,
                       const std::string& password);

}  // namespace tarnwick

#endif  // TARNWICK_APP_OPERATIONS_H_
