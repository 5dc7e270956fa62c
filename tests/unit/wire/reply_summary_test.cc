#include "tarnwick/wire/reply_summary.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnwick {
namespace {

Reply reply_of(long status, std::string type, std::string location) {
  Reply reply;
  reply.status = status;
  reply.content_type = std::move(type);
  reply.location = std::move(location);
  return reply;
}

TEST(ReplySummaryTest, HeadNamesStatusTypeAndRedirectWithoutItsQuery) {
  const std::pair<Reply, std::string> cases[] = {
      {reply_of(200, "application/json", ""), "HTTP 200 application/json"},
      {reply_of(502, "", ""), "HTTP 502"},
      {reply_of(302, "text/html", "https://sso.example/login?token=t#x"),
       "HTTP 302 text/html, redirected to 'https://sso.example/login'"},
      {reply_of(307, "", "https://h/a#frag?x"),
       "HTTP 307, redirected to 'https://h/a'"},
  };
  for (const auto& [reply, head] : cases) {
    EXPECT_EQ(describe_reply_head(reply), head);
  }
}

// Secrets are taken out before the body is cut, so none shows in part: the
// password, and the session id a check's own login gave.
TEST(ReplySummaryTest, BodyStartIsCutScrubbedAndQuoted) {
  struct Case {
    std::string body;
    std::string shown;
    std::string password = "pw-1234";
    std::string cid = "";
  };
  const Case cases[] = {
      {"", "empty body"},
      {"<html>\n", "body begins '<html>\\n'"},
      {"x pw-1234 pw-1234 y", "body begins 'x *** *** y'"},
      {std::string(78, 'a') + "pw-1234zzz",
       "body begins '" + std::string(78, 'a') + "**'"},
      {std::string(79, 'a') + "\xc3\xa9",
       "body begins '" + std::string(79, 'a') + "'"},
      {std::string(200, 'b'), "body begins '" + std::string(80, 'b') + "'"},
      {"<" + std::string(77, 'x') + "cid-2yyyy",
       "body begins '<" + std::string(77, 'x') + "**'", "pw", "cid-2"},
      // Spelled as the form on the wire had it, past the cut.
      {"<p>" + std::string(65, 'x') + "password=pw-1234%21 and more",
       "body begins '<p>" + std::string(65, 'x') + "password=***'", "pw-1234!"},
      {"<p>" + std::string(50, 'x') + "password=pw-1234%21</p>",
       "body begins '<p>" + std::string(50, 'x') + "password=***</p>'",
       "pw-1234!"},
  };
  for (const Case& c : cases) {
    const Scrubber secrets({c.password, c.cid});
    EXPECT_EQ(describe_body_start(body_start(c.body, secrets), secrets),
              c.shown)
        << c.body;
  }
}

}  // namespace
}  // namespace tarnwick
