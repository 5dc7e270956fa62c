// The controller session: the request conventions every controller request
// follows, and the login.
#ifndef TARNWICK_SESSION_H_
#define TARNWICK_SESSION_H_

#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/value.h"

namespace tarnwick {

struct FormField {
  std::string name;
  std::string value;
};

// "https://" + address + "/v1/api", the address taken unchanged.
std::string controller_api_url(std::string_view controller_ip);

// application/x-www-form-urlencoded: fields in order, a blank as "+".
std::string encode_form(const std::vector<FormField>& fields);

// Sends a form to the controller. Abstract so tests can stand in for the
// network.
class Transport {
 public:
  virtual ~Transport() = default;
  // POSTs the encoded form to url and returns the reply body, whatever the
  // status. Throws Error(kConnection) when the request cannot be completed.
  virtual std::string post(const std::string& url, const std::string& form) = 0;
};

// libcurl: no certificate verification, a fresh connection per request, no
// time limit, redirects not followed, compressed replies decoded.
Transport& default_transport();

// Logs in and returns the member "CID" of the reply, unchanged. Throws
// Error(kLoginFailed) when the reply is not JSON, not an object or lacks
// "CID"; connection failures pass through as Error(kConnection).
Value get_orvantis_cid(const std::string& controller_ip,
                       const std::string& username, const std::string& password,
                       Transport& transport = default_transport());

}  // namespace tarnwick

#endif  // TARNWICK_SESSION_H_
