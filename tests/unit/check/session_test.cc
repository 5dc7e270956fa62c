#include "tarnwick/check/session.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_transport.h"
#include "tarnwick/app/operations.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/value.h"
#include "tarnwick/json/json.h"

namespace tarnwick {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

TEST(ControllerApiUrlTest, PutsTheAddressInUnchanged) {
  const std::pair<std::string, std::string> kCases[] = {
      {"10.0.0.1", "https://10.0.0.1/v1/api"},
      {"controller.example:8443", "https://controller.example:8443/v1/api"},
      {"host/", "https://host//v1/api"},
      {"", "https:///v1/api"},
      {" host ", "https:// host /v1/api"},
      {"::1", "https://::1/v1/api"},
      {"[::1]:8443", "https://[::1]:8443/v1/api"},
      {"host/path?q=1", "https://host/path?q=1/v1/api"},
  };
  for (const auto& [address, url] : kCases) {
    EXPECT_EQ(controller_api_url(address), url) << address;
  }
}

class LoginTest : public testing::Test {
 protected:
  Value login(std::string body) {
    transport_.add_reply(std::move(body));
    return get_orvantis_cid("10.1.1.1", "admin", "s3cret", transport_);
  }

  FakeTransport transport_;
};

TEST_F(LoginTest, PostsTheLoginFormToTheApiUrl) {
  transport_.add_reply(R"({"CID": "abc"})");
  get_orvantis_cid("10.1.1.1:8443", "a&b=c d+", "p\xc3\xa4ss w=rd&",
                   transport_);
  ASSERT_EQ(transport_.posts().size(), 1u);
  EXPECT_EQ(transport_.posts()[0].url, "https://10.1.1.1:8443/v1/api");
  EXPECT_EQ(transport_.posts()[0].fields(),
            (Fields{{"action", "login"},
                    {"username", "a&b=c d+"},
                    {"password", "p\xc3\xa4ss w=rd&"}}));
}

TEST_F(LoginTest, EmptyCredentialsAreSentAsEmptyFields) {
  transport_.add_reply(R"({"CID": "abc"})");
  get_orvantis_cid("h", "", "", transport_);
  ASSERT_EQ(transport_.posts().size(), 1u);
  EXPECT_EQ(transport_.posts()[0].form, "action=login&username=&password=");
}

TEST_F(LoginTest, ReturnsTheCidMemberUnchanged) {
  struct Case {
    std::string body;
    std::string expected_json;
  };
  const Case kCases[] = {
      {R"({"CID": "abc"})", R"("abc")"},
      {R"({"error": null, "CID": "x y", "other": [1, 2]})", R"("x y")"},
      {R"({"CID": ""})", R"("")"},
      {R"({"CID": null})", "null"},
      {R"({"CID": 12345678901234567890})", "12345678901234567890"},
      {R"({"CID": {"a": [true]}})", R"({"a": [true]})"},
      // Only the exact name counts, next to its case variants.
      {R"({"cid": "no", "CID": "yes", "Cid": "no"})", R"("yes")"},
      {" \r\n{\"CID\": \"spaced\"}\n", R"("spaced")"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.body);
    Value cid;
    ASSERT_NO_THROW(cid = login(c.body));
    EXPECT_TRUE(same_value(cid.node(), decode_json(c.expected_json).node()));
  }
}

TEST_F(LoginTest, CidOutlivesTheReplyBody) {
  Value cid;
  {
    FakeTransport transport;
    transport.add_reply(R"({"CID": "session-\u00e9"})");
    cid = get_orvantis_cid("h", "u", "p", transport);
  }
  ASSERT_TRUE(cid.node().is_text());
  EXPECT_EQ(cid.node().text(), "session-\xc3\xa9");
}

// Why a reply is no login is said in the message: the head of the reply,
// then what is wrong with it, quoting a body that is not JSON (the password
// taken out) and naming the members of an object, never their values.
TEST_F(LoginTest, UnusableRepliesFailTheLogin) {
  const std::string kDeep = "{\"CID\": " + std::string(kMaxNesting + 1, '[') +
                            std::string(kMaxNesting + 1, ']') + "}";
  const std::string kHead =
      "the controller at 'https://10.1.1.1/v1/api' did not accept the login "
      "of 'admin': HTTP 200 application/json; ";
  const std::pair<std::string, std::string> kCases[] = {
      {"", "the reply is empty"},
      {" \n", "the reply is only white space, body begins ' \\n'"},
      {R"({"cid": "x"})", "the reply has no member \"CID\", only 'cid'"},
      {R"({"Cid": "x", "CID ": "y"})",
       "the reply has no member \"CID\", only 'Cid', 'CID '"},
      {R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":0,"k":1})",
       "the reply has no member \"CID\", only 'a', 'b', 'c', 'd', 'e', 'f', "
       "'g', 'h', 'i', 'j' and 1 more"},
      {R"({})", "the reply is an empty object"},
      {R"([{"CID": "x"}])", "the reply is a list, not an object"},
      {R"("CID")", "the reply is a text, not an object"},
      {"42", "the reply is a number, not an object"},
      {"null", "the reply is None, not an object"},
      {"true", "the reply is True, not an object"},
      {"<html><body>Unauthorized s3cret</body></html>",
       "the reply is not JSON: unexpected '<' at byte 0, body begins "
       "'<html><body>Unauthorized ***</body></html>'"},
      {R"({"CID": "x"} {"CID": "y"})",
       "the reply is not JSON: unexpected '{' at byte 13 after the value, "
       "body begins '{\"CID\": \"x\"} {\"CID\": \"y\"}'"},
      {R"({"CID": "x")",
       "the reply is not JSON: map opened at byte 0 is not closed, body "
       "begins '{\"CID\": \"x\"'"},
      {kDeep,
       "the reply nests deeper than 10000 levels at byte 10007, body "
       "begins '{\"CID\": " +
           std::string(72, '[') + "'"},
  };
  for (const auto& [body, why] : kCases) {
    SCOPED_TRACE(body.substr(0, 60));
    try {
      login(body);
      ADD_FAILURE() << "login accepted";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::kLoginFailed);
      EXPECT_EQ(e.what(), kHead + why);
    }
  }
}

TEST_F(LoginTest, FailedLoginNamesStatusTypeAndRedirect) {
  Reply redirect;
  redirect.status = 302;
  redirect.content_type = "text/html";
  redirect.location = "https://sso.example/login?token=t0k3n#top";
  redirect.body = "<a href=\"https://sso.example/login?token=t0k3n\">";
  transport_.add_reply(redirect);
  try {
    get_orvantis_cid("10.1.1.1", "ops", "pw", transport_);
    FAIL() << "login accepted";
  } catch (const Error& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with(
        "the controller at 'https://10.1.1.1/v1/api' did not accept the login "
        "of 'ops': HTTP 302 text/html, redirected to "
        "'https://sso.example/login'; the reply is not JSON"))
        << e.what();
  }
}

TEST_F(LoginTest, ConnectionFailuresPassThroughUnchanged) {
  transport_.add_failure(ErrorKind::kConnection, "cannot reach 'x': refused");
  try {
    get_orvantis_cid("x", "admin", "secret", transport_);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kConnection);
    EXPECT_STREQ(e.what(), "cannot reach 'x': refused");
  }
}

}  // namespace
}  // namespace tarnwick
