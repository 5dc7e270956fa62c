#include "tarnwick/check/session.h"

#include <string>
#include <utility>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/secret.h"
#include "tarnwick/check/form.h"
#include "tarnwick/check/run_settings.h"
#include "tarnwick/json/json.h"
#include "tarnwick/wire/reply_summary.h"

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

// Why a decoded reply is no login, or "" when it is one.
std::string why_no_login(const Value& decoded, const Scrubber& secrets) {
  const Node& reply = decoded.node();
  if (!reply.is_map())
    return "the reply is " + type_of(reply) + ", not an object";
  if (reply.find("CID") != nullptr) return "";
  if (reply.size == 0) return "the reply is an empty object";
  // Names only: a member's value may be a session id ("cid").
  constexpr std::size_t kNamesShown = 10;
  std::string names;
  for (std::size_t i = 0; i < reply.size && i < kNamesShown; ++i) {
    if (i > 0) names += ", ";
    names += quote_text(secrets.scrub(reply.map()[i].name()));
  }
  if (reply.size > kNamesShown)
    names += " and " + std::to_string(reply.size - kNamesShown) + " more";
  return "the reply has no member \"CID\", only " + names;
}

Value log_in(Request& request, const std::string& username,
             const std::string& password, Transport& transport) {
  request.action = "login";
  request.form = login_form(username, password);
  Reply reply;
  try {
    WipedOnExit wiped(request.form);
    reply = transport.post(request);
  } catch (const Error& e) {
    // A login that cannot be completed ends even a run that goes on past
    // failed checks: a wrong password sent once per check can lock the
    // account, and an unreachable controller fails every check alike.
    if (e.ends_run()) throw;
    throw e.ending_the_run();
  }
  const std::string message = "the controller at " + quote_text(request.url) +
                              " did not accept the login of " +
                              quote_text(username) + ": " +
                              describe_reply_head(reply) + "; ";
  const Scrubber secrets({password});
  const BodyStart start = body_start(reply.body, secrets);
  Value decoded;
  try {
    decoded = decode_json(std::move(reply.body));
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kInvalidReply) throw;
    std::string why = message + "the " + e.what();
    if (!start.bytes.empty()) why += ", " + describe_body_start(start, secrets);
    throw Error(ErrorKind::kLoginFailed, why);
  }
  const std::string why = why_no_login(decoded, secrets);
  if (!why.empty()) throw Error(ErrorKind::kLoginFailed, message + why);
  return decoded.child(*decoded.node().find("CID"));
}

}  // namespace

std::string controller_api_url(std::string_view controller_ip) {
  std::string url = "https://";
  url.append(controller_ip);
  url.append("/v1/api");
  return url;
}

Value log_in(const RunSettings& settings, const std::string& check,
             Transport& transport) {
  Request request;
  request.url = controller_api_url(settings.controller_ip);
  request.check = check;
  return log_in(request, settings.username, settings.password, transport);
}

std::string_view session_text(const Value& cid) {
  const Node& node = cid.node();
  return node.is_text() || node.kind == Kind::kWhole ? node.text()
                                                     : std::string_view();
}

}  // namespace tarnwick
