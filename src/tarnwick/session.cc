#include "tarnwick/session.h"

#include <string>
#include <utility>
#include <vector>

#include "tarnwick/curl_transport.h"
#include "tarnwick/error.h"
#include "tarnwick/form.h"
#include "tarnwick/json.h"
#include "tarnwick/secret.h"

namespace tarnwick {

namespace {

// The login form. The password is copied straight into its field (an
// initializer list would leave one more copy behind), and that copy is
// cleared once the form is encoded.
std::string login_form(const std::string& username,
                       const std::string& password) {
  std::vector<FormField> fields(3);
  fields[0] = {"action", "login"};
  fields[1] = {"username", username};
  fields[2].name = "password";
  fields[2].value = password;
  std::string form = encode_form(fields);
  wipe_secret(fields[2].value);
  return form;
}

}  // namespace

std::string controller_api_url(std::string_view controller_ip) {
  std::string url = "https://";
  url.append(controller_ip);
  url.append("/v1/api");
  return url;
}

Value get_orvantis_cid(const std::string& controller_ip,
                       const std::string& username, const std::string& password,
                       Transport& transport) {
  Request request;
  request.url = controller_api_url(controller_ip);
  request.form = login_form(username, password);
  Reply reply;
  {
    WipedOnExit wiped(request.form);
    reply = transport.post(request);
  }
  Value decoded;
  try {
    decoded = decode_json(std::move(reply.body));
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kInvalidReply) throw;
  }
  const Node* cid =
      decoded.node().is_map() ? decoded.node().find("CID") : nullptr;
  if (cid == nullptr) {
    throw Error(ErrorKind::kLoginFailed,
                "the controller did not accept the login");
  }
  return decoded.child(*cid);
}

Value get_orvantis_cid(const std::string& controller_ip,
                       const std::string& username,
                       const std::string& password) {
  return get_orvantis_cid(controller_ip, username, password,
                          process_curl_transport());
}

}  // namespace tarnwick
