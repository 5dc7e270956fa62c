// The controller session: the API URL every controller request goes to, and
// the login.
#ifndef TARNWICK_SESSION_H_
#define TARNWICK_SESSION_H_

#include <string>
#include <string_view>

#include "tarnwick/transport.h"
#include "tarnwick/value.h"

namespace tarnwick {

// "https://" + address + "/v1/api", the address taken unchanged.
std::string controller_api_url(std::string_view controller_ip);

// Logs in through transport and returns the member "CID" of the reply,
// unchanged. Throws Error(kLoginFailed) when the reply is not JSON, not an
// object or lacks "CID"; the failures of Transport::post pass through.
Value get_orvantis_cid(const std::string& controller_ip,
                       const std::string& username, const std::string& password,
                       Transport& transport);

// The same through the process's libcurl transport.
Value get_orvantis_cid(const std::string& controller_ip,
                       const std::string& username,
                       const std::string& password);

}  // namespace tarnwick

#endif  // TARNWICK_SESSION_H_
