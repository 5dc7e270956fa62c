// The web configuration's reader: what it takes, and each key of the
// toolkit's format it refuses, named with its line.
#include "tarnwick/exporter/web_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick {
namespace {

// A bcrypt hash of "pw" at cost 4.
const std::string kHash =
    "$2y$04$CbnzyXZslvhMRZuxKZQHUu/NX6d48TT.E5fEBjci9358AJPPdOx1i";

struct Case {
  std::string text;
  std::vector<std::string> problems;  // none: it reads
};

TEST(WebConfigTest, EachFileGivesItsProblems) {
  const Case cases[] = {
      {"", {}},
      {"basic_auth_users:\n", {}},
      {"tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n"
       "  client_auth_type: RequireAndVerifyClientCert\n"
       "  client_ca_file: ca.pem\n  min_version: TLS13\n"
       "basic_auth_users:\n  alice: " +
           kHash + "\n",
       {}},
      {"tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n"
       "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n  max_version: TLS13\n",
       {"w.yml:4: tls_server_config: 'cipher_suites' is not supported by "
        "tarnwick_exporter",
        "w.yml:5: tls_server_config: 'max_version' is not supported by "
        "tarnwick_exporter"}},
      {"http_server_config:\n  http2: false\ntls_server_config:\n"
       "  cert: PEM\n  key: PEM\n",
       {"w.yml:1: 'http_server_config' is not supported by tarnwick_exporter",
        "w.yml:3: tls_server_config: 'cert_file' is missing",
        "w.yml:3: tls_server_config: 'key_file' is missing",
        "w.yml:4: tls_server_config: 'cert' is not supported by "
        "tarnwick_exporter",
        "w.yml:5: tls_server_config: 'key' is not supported by "
        "tarnwick_exporter"}},
      {"basic_auth_users:\n  alice: " + kHash + "\nrate_limit: {}\nfoo: 1\n",
       {"w.yml:3: 'rate_limit' is not supported by tarnwick_exporter",
        "w.yml:4: unknown key 'foo'"}},
      {"tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n"
       "  client_auth_type: VerifyClientCertIfGiven\n  min_version: SSL3\n"
       "  curve_preferences: [X25519]\n  client_allowed_sans: [a]\n",
       {"w.yml:1: tls_server_config: client_auth_type "
        "VerifyClientCertIfGiven needs a client_ca_file",
        "w.yml:5: tls_server_config: min_version: expects one of TLS10, "
        "TLS11, TLS12, TLS13, not 'SSL3'",
        "w.yml:6: tls_server_config: 'curve_preferences' is not supported by "
        "tarnwick_exporter",
        "w.yml:7: tls_server_config: 'client_allowed_sans' is not supported "
        "by tarnwick_exporter"}},
      {"tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n"
       "  client_ca_file: ca.pem\n  prefer_server_cipher_suites: true\n",
       {"w.yml:1: tls_server_config: client_ca_file is given but "
        "client_auth_type verifies no client certificate",
        "w.yml:5: tls_server_config: 'prefer_server_cipher_suites' is not "
        "supported by tarnwick_exporter"}},
      {"basic_auth_users:\n  alice: secret\n  bob: " + kHash +
           "\n  bob: " + kHash + "\n",
       {"w.yml:2: basic_auth_users: user 'alice': expects a bcrypt hash "
        "($2y$10$...)",
        "w.yml:4: basic_auth_users: duplicate key 'bob' (first on line 3)"}},
      {"tls_server_config: [a]\n",
       {"w.yml:1: tls_server_config: expects a mapping of keys to values"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> problems;
    const auto config = parse_web_config(c.text, "w.yml", problems);
    EXPECT_EQ(problems, c.problems) << c.text;
    EXPECT_EQ(config.has_value(), c.problems.empty()) << c.text;
  }
}

TEST(WebConfigTest, TakesPathsFromTheFilesDirectory) {
  std::vector<std::string> problems;
  const auto config = parse_web_config(
      "tls_server_config:\n  cert_file: c.pem\n  key_file: /k.pem\n"
      "  client_auth_type: RequireAnyClientCert\n"
      "basic_auth_users:\n  alice: " +
          kHash + "\n",
      "/etc/tw/web.yml", problems);
  ASSERT_TRUE(config) << problems.front();
  ASSERT_TRUE(config->tls);
  EXPECT_EQ(config->tls->cert_file, "/etc/tw/c.pem");
  EXPECT_EQ(config->tls->key_file, "/k.pem");
  EXPECT_EQ(config->tls->client_auth, ClientAuth::kRequireAny);
  EXPECT_EQ(config->tls->min_version, TlsVersion::k12);
  EXPECT_EQ(
      config->users,
      (std::vector<std::pair<std::string, std::string>>{{"alice", kHash}}));
}

}  // namespace
}  // namespace tarnwick
