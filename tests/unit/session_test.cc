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

std::vector<FormField> to_form(const Fields& fields) {
  std::vector<FormField> form;
  for (const auto& [name, value] : fields) form.push_back({name, value});
  return form;
}

TEST(EncodeFormTest, EncodesByTheFormRules) {
  struct Case {
    Fields fields;
    std::string expected;
  };
  const Case kCases[] = {
      {{}, ""},
      {{{"action", "login"}, {"username", "admin"}, {"password", "x"}},
       "action=login&username=admin&password=x"},
      // Separators inside values must not split or join fields.
      {{{"p", "a&b=c+d"}}, "p=a%26b%3Dc%2Bd"},
      {{{"p", "a b  c "}}, "p=a+b++c+"},
      {{{"p", "100%"}}, "p=100%25"},
      {{{"p", "%41"}}, "p=%2541"},
      {{{"p", "AZaz09*-._"}}, "p=AZaz09*-._"},
      // "~" is kept by URL rules but not by form rules.
      {{{"p", "~!'()/?:@#;,[]"}},
       "p=%7E%21%27%28%29%2F%3F%3A%40%23%3B%2C%5B%5D"},
      {{{"p", "\t\n\r\x7f"}}, "p=%09%0A%0D%7F"},
      {{{"p", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac"}}, "p=%C3%A9t%C3%A9+%E2%82%AC"},
      // Bytes are sent as they are, valid UTF-8 or not.
      {{{"p", "\xff\xfe"}}, "p=%FF%FE"},
      {{{"p", std::string("a\0b", 3)}}, "p=a%00b"},
      {{{"p", ""}}, "p="},
      {{{"", ""}}, "="},
      {{{"", ""}, {"", ""}}, "=&="},
      {{{"a b", "c"}, {"x=y", "z"}}, "a+b=c&x%3Dy=z"},
      {{{"k", "1"}, {"k", "2"}, {"j", "3"}, {"k", "4"}}, "k=1&k=2&j=3&k=4"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(encode_form(to_form(c.fields)), c.expected) << c.expected;
  }
}

TEST(EncodeFormTest, EveryByteSurvivesTheRoundTrip) {
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
  const Fields fields = {{all_bytes, all_bytes}, {"", all_bytes}};
  const std::string form = encode_form(to_form(fields));
  EXPECT_EQ(decode_form_for_test(form), fields);
  // Nothing outside the kept set may appear unescaped.
  for (char c : form) {
    EXPECT_NE(
        std::string("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopq"
                    "rstuvwxyz*-._%+=&")
            .find(c),
        std::string::npos)
        << static_cast<int>(c);
  }
}

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

// The real transport against addresses that fail before any TLS: nothing
// listens on port 1.
TEST(CurlTransportTest, UnreachableControllerIsAConnectionError) {
  try {
    get_orvantis_cid("127.0.0.1:1", "admin", "pw-do-not-show");
    FAIL() << "no error";
  } catch (const Error& e) {
    const std::string message = e.what();
    const std::string prefix = "cannot reach 'https://127.0.0.1:1/v1/api': ";
    EXPECT_EQ(e.kind(), ErrorKind::kConnection) << message;
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_GT(message.size(), prefix.size()) << message;
    EXPECT_EQ(message.find("pw-do-not-show"), std::string::npos) << message;
  }
}

// libcurl would take "https:///v1/api" as host "v1" and post the password
// there; an address that leaves the URL without a host must send nothing.
TEST(CurlTransportTest, UrlWithoutHostIsRefused) {
  const std::string kCases[] = {"", "/", ":8443", "user@", "user:pw@:1"};
  for (const std::string& address : kCases) {
    const std::string url = controller_api_url(address);
    try {
      default_transport().post(url, "password=pw-do-not-show");
      ADD_FAILURE() << "no error for " << url;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::kConnection);
      EXPECT_EQ(e.what(), "cannot reach '" + url + "': the URL names no host");
    }
  }
}

}  // namespace
}  // namespace tarnwick
