#include "tarnwick/wire/reply_summary.h"

#include <algorithm>

#include "tarnwick/base/literal.h"

namespace tarnwick {

std::string scrub_secrets(std::string_view text,
                          std::initializer_list<std::string_view> secrets) {
  std::string out(text);
  for (std::string_view secret : secrets) {
    if (secret.empty()) continue;
    for (std::size_t at = out.find(secret); at != std::string::npos;
         at = out.find(secret, at + 3)) {
      out.replace(at, secret.size(), "***");
    }
  }
  return out;
}

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

std::string_view body_start(std::string_view body,
                            std::initializer_list<std::string_view> secrets) {
  std::size_t longest = 0;
  for (std::string_view secret : secrets)
    longest = std::max(longest, secret.size());
  return body.substr(0, kBodyExcerpt + longest);
}

std::string describe_body_start(
    std::string_view body, std::initializer_list<std::string_view> secrets) {
  if (body.empty()) return "empty body";
  std::string scrubbed = scrub_secrets(body_start(body, secrets), secrets);
  if (scrubbed.size() > kBodyExcerpt) {
    // Not in the middle of a character.
    std::size_t end = kBodyExcerpt;
    while (end > 0 &&
           (static_cast<unsigned char>(scrubbed[end]) & 0xC0) == 0x80)
      --end;
    scrubbed.resize(end);
  }
  return "body begins " + quote_text(scrubbed);
}

}  // namespace tarnwick
