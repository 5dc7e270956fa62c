#include "tarnwick/exporter/web_config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>

#include "tarnwick/base/literal.h"
#include "tarnwick/exporter/yaml_fields.h"

namespace tarnwick {

namespace {

// Keys of the toolkit's format that are read and refused: said so by name
// rather than as unknown keys. Update the manual (docs/tarnwick_exporter.md)
// with these lists.
constexpr std::string_view kRefusedTopKeys[] = {"http_server_config",
                                                "rate_limit"};
constexpr std::string_view kRefusedTlsKeys[] = {"cert",
                                                "key",
                                                "client_ca",
                                                "client_allowed_sans",
                                                "max_version",
                                                "cipher_suites",
                                                "prefer_server_cipher_suites",
                                                "curve_preferences"};

struct Named {
  std::string_view name;
  int value;
};

constexpr Named kClientAuths[] = {
    {"NoClientCert", static_cast<int>(ClientAuth::kNone)},
    {"RequestClientCert", static_cast<int>(ClientAuth::kRequest)},
    {"RequireAnyClientCert", static_cast<int>(ClientAuth::kRequireAny)},
    {"VerifyClientCertIfGiven", static_cast<int>(ClientAuth::kVerifyIfGiven)},
    {"RequireAndVerifyClientCert",
     static_cast<int>(ClientAuth::kRequireAndVerify)},
};

constexpr Named kVersions[] = {
    {"TLS10", static_cast<int>(TlsVersion::k10)},
    {"TLS11", static_cast<int>(TlsVersion::k11)},
    {"TLS12", static_cast<int>(TlsVersion::k12)},
    {"TLS13", static_cast<int>(TlsVersion::k13)},
};

// The value of key among names, or nullopt with the problem noted.
template <std::size_t N>
std::optional<int> one_of(const Fields& f, std::string_view key,
                          const Named (&names)[N]) {
  const std::optional<std::string> text = f.text(key);
  if (!text) return std::nullopt;
  std::string list;
  for (const Named& n : names) {
    if (n.name == *text) return n.value;
    list += (list.empty() ? "" : ", ") + std::string(n.name);
  }
  f.problem(key, "expects one of " + list + ", not " + quote_text(*text));
  return std::nullopt;
}

// Notes each key of f that is in refused.
template <std::size_t N>
void refuse_keys(const Fields& f, ConfigProblems& problems,
                 const std::string& context,
                 const std::string_view (&refused)[N]) {
  for (const auto& [key, value] : f.entries()) {
    if (std::find(std::begin(refused), std::end(refused), key.Scalar()) !=
        std::end(refused))
      problems.add(key, context + quote_text(key.Scalar()) +
                            " is not supported by tarnwick_exporter");
  }
}

std::string resolve(const std::string& dir, const std::string& path) {
  if (path.starts_with('/') || dir.empty()) return path;
  return dir + "/" + path;
}

std::optional<TlsServerFiles> read_tls(const YAML::Node& key,
                                       const YAML::Node& node,
                                       const std::string& dir,
                                       ConfigProblems& problems) {
  const std::string context = "tls_server_config: ";
  if (!node.IsMap()) {
    problems.add(key, context + "expects a mapping of keys to values");
    return std::nullopt;
  }
  const Fields f(node, key, context, problems,
                 {"cert_file", "key_file", "client_auth_type", "client_ca_file",
                  "min_version", "cert", "key", "client_ca",
                  "client_allowed_sans", "max_version", "cipher_suites",
                  "prefer_server_cipher_suites", "curve_preferences"});
  refuse_keys(f, problems, context, kRefusedTlsKeys);
  TlsServerFiles tls;
  // Problems of the whole mapping stand at its key's line.
  auto problem = [&](const std::string& message) {
    problems.add(key, context + message);
  };
  for (const char* required : {"cert_file", "key_file"}) {
    if (!f.has(required)) problem("'" + std::string(required) + "' is missing");
  }
  const auto cert = f.text("cert_file");
  const auto key_file = f.text("key_file");
  const auto ca = f.text("client_ca_file");
  if (cert) tls.cert_file = resolve(dir, *cert);
  if (key_file) tls.key_file = resolve(dir, *key_file);
  if (ca) tls.client_ca_file = resolve(dir, *ca);
  if (const auto auth = one_of(f, "client_auth_type", kClientAuths))
    tls.client_auth = static_cast<ClientAuth>(*auth);
  if (const auto version = one_of(f, "min_version", kVersions))
    tls.min_version = static_cast<TlsVersion>(*version);
  const bool verifies = tls.client_auth == ClientAuth::kVerifyIfGiven ||
                        tls.client_auth == ClientAuth::kRequireAndVerify;
  if (verifies && !ca)
    problem("client_auth_type " +
            std::string(kClientAuths[static_cast<int>(tls.client_auth)].name) +
            " needs a client_ca_file");
  if (ca && !verifies)
    problem(
        "client_ca_file is given but client_auth_type verifies no "
        "client certificate");
  return tls;
}

// A bcrypt hash as htpasswd -B and the toolkit's users write it:
// "$2y$10$" and 53 characters of salt and hash.
bool is_bcrypt_hash(std::string_view hash) {
  return hash.size() == 60 && hash.starts_with("$2") &&
         (hash[2] == 'a' || hash[2] == 'b' || hash[2] == 'y') &&
         hash[3] == '$' && hash[4] >= '0' && hash[4] <= '3' && hash[5] >= '0' &&
         hash[5] <= '9' && hash[6] == '$';
}

void read_users(const YAML::Node& key, const YAML::Node& node,
                ConfigProblems& problems, WebConfig& config) {
  if (node.IsNull()) return;  // "basic_auth_users:" with no user
  const Fields f(node, key, "basic_auth_users: ", problems, {});
  for (const auto& [name, hash] : f.entries()) {
    // The hash is not shown: it is what an attack on the password needs.
    if (!is_text(hash) || !is_bcrypt_hash(hash.Scalar())) {
      problems.add(name, "basic_auth_users: user " + quote_text(name.Scalar()) +
                             ": expects a bcrypt hash ($2y$10$...)");
      continue;
    }
    if (name.Scalar().empty() || name.Scalar().find(':') != std::string::npos) {
      problems.add(name, "basic_auth_users: " + quote_text(name.Scalar()) +
                             " is no user name (empty or with ':')");
      continue;
    }
    config.users.emplace_back(name.Scalar(), hash.Scalar());
  }
}

}  // namespace

std::optional<WebConfig> parse_web_config(std::string_view text,
                                          const std::string& file,
                                          std::vector<std::string>& problems) {
  problems.clear();
  ConfigProblems found(file, problems);
  YAML::Node document;
  try {
    document = YAML::Load(std::string(text));
  } catch (const YAML::Exception& e) {
    found.add(e.mark.is_null() ? 1 : e.mark.line + 1, e.msg);
    return std::nullopt;
  }
  WebConfig config;
  // An empty file asks for nothing, as in the toolkit.
  if (!document.IsDefined() || document.IsNull()) return config;
  const std::size_t slash = file.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "" : file.substr(0, slash);
  const Fields top(document, document, "", found,
                   {"tls_server_config", "basic_auth_users",
                    "http_server_config", "rate_limit"});
  refuse_keys(top, found, "", kRefusedTopKeys);
  for (const auto& [key, value] : top.entries()) {
    if (key.Scalar() == "tls_server_config")
      config.tls = read_tls(key, value, dir, found);
    if (key.Scalar() == "basic_auth_users")
      read_users(key, value, found, config);
  }
  if (problems.empty()) return config;
  // Each key is read after the mapping it stands in: problems go in the
  // order of the file.
  sort_by_line(problems, file);
  return std::nullopt;
}

std::optional<WebConfig> read_web_config(const std::string& path,
                                         ConfigFiles& files,
                                         std::vector<std::string>& problems) {
  problems.clear();
  const std::optional<std::string> text =
      read_config_text(path, files, problems);
  if (!text) return std::nullopt;
  return parse_web_config(*text, path, problems);
}

}  // namespace tarnwick
