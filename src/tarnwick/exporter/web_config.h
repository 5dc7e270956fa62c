// The exporter's web configuration (--web.config.file): TLS on its own port
// and the users of basic authentication, in the file format of the
// Prometheus exporter toolkit, so that the file an operator has for
// node_exporter serves here too. Keys of that format this exporter does not
// do are refused by name, with the file and line, never ignored.
#ifndef TARNWICK_EXPORTER_WEB_CONFIG_H_
#define TARNWICK_EXPORTER_WEB_CONFIG_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/exporter/exporter_config.h"

namespace tarnwick {

// client_auth_type, in the toolkit's names.
enum class ClientAuth {
  kNone,              // NoClientCert
  kRequest,           // RequestClientCert
  kRequireAny,        // RequireAnyClientCert
  kVerifyIfGiven,     // VerifyClientCertIfGiven
  kRequireAndVerify,  // RequireAndVerifyClientCert
};

// min_version: TLS10 to TLS13.
enum class TlsVersion { k10, k11, k12, k13 };

// tls_server_config, with its paths taken from the web configuration's
// directory.
struct TlsServerFiles {
  std::string cert_file;
  std::string key_file;
  ClientAuth client_auth = ClientAuth::kNone;
  std::string client_ca_file;  // "" when not given
  TlsVersion min_version = TlsVersion::k12;
};

struct WebConfig {
  std::optional<TlsServerFiles> tls;  // none: plain HTTP
  // basic_auth_users in file order: name and bcrypt hash. None: no
  // authentication.
  std::vector<std::pair<std::string, std::string>> users;
};

// Parses `text`, the web configuration `file`. Every problem goes to
// `problems` as "FILE:LINE: message" in the order of the file; the
// configuration is returned only when there is none. Reads no other file.
std::optional<WebConfig> parse_web_config(std::string_view text,
                                          const std::string& file,
                                          std::vector<std::string>& problems);

// Reads the file at path and parses it as above; a file that cannot be read
// is a problem "FILE: message".
std::optional<WebConfig> read_web_config(const std::string& path,
                                         ConfigFiles& files,
                                         std::vector<std::string>& problems);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_WEB_CONFIG_H_
