// What tarnwick's own messages say of a controller reply: its status, type
// and redirect, and the first bytes of its body with the secrets taken out.
// (A report of a reply prints the reply itself; that is the controller's
// text, not a message.)
#ifndef TARNWICK_WIRE_REPLY_SUMMARY_H_
#define TARNWICK_WIRE_REPLY_SUMMARY_H_

#include <initializer_list>
#include <string>
#include <string_view>

#include "tarnwick/wire/transport.h"

namespace tarnwick {

// How many bytes of a body a message quotes at most.
inline constexpr std::size_t kBodyExcerpt = 80;

// text with every occurrence of each non-empty secret replaced by "***".
std::string scrub_secrets(std::string_view text,
                          std::initializer_list<std::string_view> secrets);

// "HTTP 502 text/html" (no type when the reply names none), and for a
// redirect ", redirected to 'https://sso.example/login'": the Location
// without its query and fragment, which may carry tokens.
std::string describe_reply_head(const Reply& reply);

// "body begins '<html><head>...'": up to kBodyExcerpt bytes of the body,
// the secrets scrubbed first (so none is cut in two and half shown), quoted
// as messages quote text; "empty body" for an empty one. `body` needs to hold
// only the first kBodyExcerpt bytes and the longest secret's length more.
std::string describe_body_start(
    std::string_view body, std::initializer_list<std::string_view> secrets);

// The start of body that describe_body_start needs, given the secrets.
std::string_view body_start(std::string_view body,
                            std::initializer_list<std::string_view> secrets);

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_REPLY_SUMMARY_H_
