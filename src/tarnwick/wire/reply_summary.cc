#include "tarnwick/wire/reply_summary.h"

#include "tarnwick/base/literal.h"

namespace tarnwick {

std::string describe_reply_head(const Reply& reply) {
  std::string text = "HTTP " + std::to_string(reply.status);
  if (!reply.content_type.empty()) text += " " + reply.content_type;
  if (!reply.location.empty()) {
    const std::string_view location = reply.location;
    text += ", redirected to " +
            quote_text(location.substr(0, location.find_first_of("?#")));
  }
  return text;
}

BodyStart body_start(std::string_view body, const Scrubber& secrets) {
  const std::size_t window = kBodyExcerpt + secrets.longest_spelling();
  return {std::string(body.substr(0, window)), body.size() > window};
}

std::string describe_body_start(const BodyStart& start,
                                const Scrubber& secrets) {
  if (start.bytes.empty()) return "empty body";
  return "body begins " +
         quote_text(secrets.excerpt(start.bytes, kBodyExcerpt, start.goes_on));
}

}  // namespace tarnwick
