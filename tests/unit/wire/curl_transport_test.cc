#include "tarnwick/wire/curl_transport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tarnwick/base/error.h"
#include "tarnwick/check/session.h"

namespace tarnwick {
namespace {

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
      SteadyClock clock;
      Request request;
      request.url = url;
      request.form = "password=pw-do-not-show";
      CurlTransport(clock).post(request);
      ADD_FAILURE() << "no error for " << url;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::kConnection);
      EXPECT_EQ(e.what(), "cannot reach '" + url + "': the URL names no host");
    }
  }
}

// libcurl ends a connection attempt after 300 s unless told otherwise: a
// run without --timeout must not have that limit.
TEST(CurlTransportTest, ConnectingWaitsOnlyAsLongAsTheRequestSays) {
  Request request;
  const long kTenYearsMs = 10L * 365 * 24 * 3600 * 1000;
  EXPECT_GE(CurlTransport::connect_timeout_ms_for_test(request), kTenYearsMs);
  request.timeout = std::chrono::milliseconds(2500);
  EXPECT_EQ(CurlTransport::connect_timeout_ms_for_test(request), 2500);
}

}  // namespace
}  // namespace tarnwick
