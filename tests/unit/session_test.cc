#include "tarnwick/session.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_transport.h"
#include "tarnwick/error.h"
#include "tarnwick/json.h"
#include "tarnwick/value.h"

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
    return get_orvantis_cid("10.1.1.1", "admin", "x", transport_);
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

TEST_F(LoginTest, UnusableRepliesFailTheLogin) {
  const std::string kDeep = "{\"CID\": " + std::string(kMaxNesting + 1, '[') +
                            std::string(kMaxNesting + 1, ']') + "}";
  const std::string kCases[] = {
      "",
      " \n",
      R"({"cid": "x"})",
      R"({"Cid": "x", "CID ": "y"})",
      R"({})",
      R"([{"CID": "x"}])",
      R"("CID")",
      "42",
      "null",
      "true",
      "<html><body>Unauthorized</body></html>",
      R"({"CID": "x"} {"CID": "y"})",
      R"({"CID": "x")",
      kDeep,
  };
  for (const std::string& body : kCases) {
    SCOPED_TRACE(body.substr(0, 60));
    try {
      login(body);
      ADD_FAILURE() << "login accepted";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::kLoginFailed);
      EXPECT_STREQ(e.what(), "the controller did not accept the login");
    }
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
