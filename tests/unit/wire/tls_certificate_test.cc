#include "tarnwick/wire/tls_certificate.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"

namespace tarnwick {
namespace {

std::string read_data(const std::string& name) {
  std::ifstream in(std::string(TARNWICK_TEST_DATA_DIR) + "/tls/" + name);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The expected pins and fingerprints are what openssl computes:
//   openssl x509 -pubkey -noout | openssl pkey -pubin -outform der |
//     openssl dgst -sha256 -binary | base64
//   openssl x509 -noout -fingerprint -sha256 -nameopt RFC2253 ...
TEST(TlsCertificateTest, ReadsWhatOpensslShows) {
  struct Case {
    const char* file;
    TlsCertificate expected;
  };
  const Case cases[] = {
      {"rsa.pem",
       {"sha256//QOi3GgEP5H8oUsmKZDsCthN0bFN74VsDMSL3tO5AXPA=",
        "CN=ctrl.example.net,O=Example\\, Inc.",
        "CN=ctrl.example.net,O=Example\\, Inc.",
        "2026-12-09T14:10:00Z",
        "2036-12-06T14:10:00Z",
        {"DNS:ctrl.example.net", "IP:10.0.0.1", "IP:2001:db8::1",
         "email:ops@example.net"},
        "29:7F:33:DD:92:B3:61:FC:F6:CB:89:F8:B2:D4:CA:BA:47:33:50:85:51:91:56:"
        "14:AA:16:4D:3D:42:5A:6F:0A",
        {"ctrl.example.net", "10.0.0.1", "2001:db8::1"}}},
      // No alternative names: it is for the common names of its subject.
      {"ecdsa.pem",
       {"sha256//ScO/SDJdj+TB+wlJQD0eskGXYysB2kyo97RnMmLGI+E=",
        "CN=ctrl-b,CN=10.0.0.2",
        "CN=ctrl-b,CN=10.0.0.2",
        "2026-12-09T14:10:00Z",
        "2036-12-06T14:10:00Z",
        {},
        "F5:D7:91:0A:EE:17:4B:F9:29:20:6F:EA:7C:94:23:D8:B3:BB:88:AE:2A:26:20:"
        "A1:1A:D8:38:A5:F2:9E:F8:18",
        {"10.0.0.2", "ctrl-b"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const TlsCertificate got = read_certificate(read_data(c.file));
    EXPECT_EQ(got.pin, c.expected.pin);
    EXPECT_EQ(got.subject, c.expected.subject);
    EXPECT_EQ(got.issuer, c.expected.issuer);
    EXPECT_EQ(got.not_before, c.expected.not_before);
    EXPECT_EQ(got.not_after, c.expected.not_after);
    EXPECT_EQ(got.alt_names, c.expected.alt_names);
    EXPECT_EQ(got.sha256_fingerprint, c.expected.sha256_fingerprint);
    EXPECT_EQ(got.names, c.expected.names);
  }
  EXPECT_THROW(read_certificate("-----BEGIN CERTIFICATE-----\nAAAA\n"), Error);
}

}  // namespace
}  // namespace tarnwick
