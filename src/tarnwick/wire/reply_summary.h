// What tarnwick's own messages say of a controller reply: its status, type
// and redirect, and the first bytes of its body with the secrets taken out.
// (A report of a reply prints the reply itself; that is the controller's
// text, not a message.)
#ifndef TARNWICK_WIRE_REPLY_SUMMARY_H_
#define TARNWICK_WIRE_REPLY_SUMMARY_H_

#include <string>
#include <string_view>

#include "tarnwick/base/scrub.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

// How many bytes of a body a message quotes at most.
inline constexpr std::size_t kBodyExcerpt = 80;

// "HTTP 502 text/html" (no type when the reply names none), and for a
// redirect ", redirected to 'https://sso.example/login'": the Location
// without its query and fragment, which may carry tokens.
std::string describe_reply_head(const Reply& reply);

// The first bytes of a body, as many as describe_body_start needs, copied so
// that they outlive the body.
struct BodyStart {
  std::string bytes;
  bool goes_on = false;  // whether the body is longer
};
BodyStart body_start(std::string_view body, const Scrubber& secrets);

// "body begins '<html><head>...'": up to kBodyExcerpt bytes of the body, the
// secrets taken out as Scrubber::excerpt does (whole, also where one runs
// past the cut), quoted as messages quote text; "empty body" for an empty
// one.
std::string describe_body_start(const BodyStart& start,
                                const Scrubber& secrets);

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_REPLY_SUMMARY_H_
