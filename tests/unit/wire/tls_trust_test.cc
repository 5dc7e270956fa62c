#include "tarnwick/wire/tls_trust.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "tarnwick/base/error.h"

namespace tarnwick {
namespace {

// libcurl compares pins as texts, so only the form openssl's base64 writes
// can ever match; anything else is refused before a run starts.
TEST(TlsTrustTest, PinListHoldsOnlyPinsThatCanMatch) {
  const std::string pin =
      "sha256//QOi3GgEP5H8oUsmKZDsCthN0bFN74VsDMSL3tO5AXPA=";
  const std::string other =
      "sha256//ScO/SDJdj+TB+wlJQD0eskGXYysB2kyo97RnMmLGI+E=";
  struct Case {
    std::string pins;
    bool valid;
  };
  const Case cases[] = {
      {pin, true},
      {pin + ";" + other, true},
      {"", false},
      {pin + ";", false},
      {";" + pin, false},
      {pin + ";;" + other, false},
      {pin + "; " + other, false},
      {pin.substr(0, pin.size() - 1), false},  // no padding
      {pin.substr(0, pin.size() - 1) + "==", false},
      {"SHA256//" + pin.substr(8), false},
      {"sha1//" + pin.substr(8), false},
      {"/etc/controller.pub", false},  // libcurl would read a file
      // The last digit carries bits past the 32 bytes.
      {pin.substr(0, pin.size() - 2) + "B=", false},
      {pin.substr(0, pin.size() - 2) + "!=", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_pin_list(c.pins), c.valid) << c.pins;
}

// What a failed handshake comes to, by libcurl's code and the trust asked
// for. Without a transfer libcurl has read no certificate, so the pin's
// message cannot name the key.
TEST(TlsTrustTest, FailedChecksEndTheRunAndSayNothingWasSent) {
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(
      curl_easy_init(), &curl_easy_cleanup);
  ASSERT_TRUE(curl);
  const TlsTrust pins{"sha256//QOi3GgEP5H8oUsmKZDsCthN0bFN74VsDMSL3tO5AXPA=",
                      ""};
  const TlsTrust ca{"", "ca.pem"};
  const std::string at = "the controller at 'https://c/v1/api' ";
  struct Case {
    CURLcode code;
    TlsTrust trust;
    std::string message;  // "" for no failure of trust
  };
  const Case cases[] = {
      {CURLE_SSL_PINNEDPUBKEYNOTMATCH, TlsTrust(), ""},
      {CURLE_SSL_PINNEDPUBKEYNOTMATCH, pins,
       at + "presented a key that matches no --tls-pin; nothing was sent"},
      {CURLE_PEER_FAILED_VERIFICATION, pins, ""},
      {CURLE_PEER_FAILED_VERIFICATION, ca,
       at + "failed --tls-ca 'ca.pem': the certificate does not verify; "
            "nothing was sent"},
      {CURLE_SSL_CACERT_BADFILE, ca,
       at + "cannot be verified: the certificates of 'ca.pem' cannot be "
            "loaded; nothing was sent"},
      {CURLE_COULDNT_CONNECT, ca, ""},
      {CURLE_SSL_CONNECT_ERROR, pins, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(curl_easy_strerror(c.code));
    const std::optional<Error> error =
        trust_failure(curl.get(), c.code, c.trust, "https://c/v1/api");
    if (c.message.empty()) {
      EXPECT_FALSE(error.has_value());
      continue;
    }
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->what(), c.message);
    EXPECT_EQ(error->kind(), ErrorKind::kConnection);
    // Every later request would reach the same impostor.
    EXPECT_TRUE(error->ends_run());
  }
}

}  // namespace
}  // namespace tarnwick
