// The controller session: the API URL every controller request goes to, and
// the login.
#ifndef TARNWICK_CHECK_SESSION_H_
#define TARNWICK_CHECK_SESSION_H_

#include <string>
#include <string_view>

#include "tarnwick/base/value.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

struct RunSettings;

// "https://" + address + "/v1/api", the address taken unchanged.
std::string controller_api_url(std::string_view controller_ip);

// Logs in to the controller at settings.controller_ip with the settings'
// user name and password through transport, naming the check it logs in
// for (check, "" for the opening login), and returns the member "CID" of
// the reply, unchanged. Throws Error(kLoginFailed) when the reply is not
// JSON, not an object or lacks "CID", its message naming the URL, the user
// name, the reply's status, type and redirect and why it is no login (the
// members of an object by name only, never their values; the start of a
// body that is not JSON, the password taken out). The failures of
// Transport::post pass through, marked as ending the run.
Value log_in(const RunSettings& settings, const std::string& check,
             Transport& transport);

// A session id as it goes into a form and a controller could echo it: its
// text, or the digits of a whole number; "" for anything else.
std::string_view session_text(const Value& cid);

}  // namespace tarnwick

#endif  // TARNWICK_CHECK_SESSION_H_
