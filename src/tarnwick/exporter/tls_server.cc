#include "tarnwick/exporter/tls_server.h"

#include <microhttpd.h>

#include <cstring>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/secret.h"

namespace tarnwick {

namespace {

gnutls_datum_t datum_of(const std::string& text) {
  return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
          static_cast<unsigned int>(text.size())};
}

std::string take_datum(gnutls_datum_t& d) {
  std::string text(reinterpret_cast<const char*>(d.data), d.size);
  gnutls_free(d.data);
  d.data = nullptr;
  return text;
}

[[noreturn]] void refuse(const std::string& file, const std::string& what,
                         int code) {
  throw Error(ErrorKind::kInvalidValue,
              quote_text(file) + ": " + what +
                  (code < 0 ? std::string(": ") + gnutls_strerror(code) : ""));
}

struct PrivkeyDeleter {
  void operator()(gnutls_privkey_st* k) const { gnutls_privkey_deinit(k); }
};
struct PubkeyDeleter {
  void operator()(gnutls_pubkey_st* k) const { gnutls_pubkey_deinit(k); }
};
using Privkey = std::unique_ptr<gnutls_privkey_st, PrivkeyDeleter>;
using Pubkey = std::unique_ptr<gnutls_pubkey_st, PubkeyDeleter>;

// The public key's DER form, or "" when it cannot be written.
std::string public_der(gnutls_pubkey_t key) {
  gnutls_datum_t out{nullptr, 0};
  if (gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &out) < 0) return "";
  return take_datum(out);
}

// The DER forms of the certificates of a PEM text, leaf first.
std::vector<std::string> read_chain(const std::string& file,
                                    const std::string& pem,
                                    std::string& leaf_key) {
  gnutls_x509_crt_t* crts = nullptr;
  unsigned int count = 0;
  const gnutls_datum_t in = datum_of(pem);
  const int code =
      gnutls_x509_crt_list_import2(&crts, &count, &in, GNUTLS_X509_FMT_PEM, 0);
  if (code < 0 || count == 0) refuse(file, "no PEM certificate read", code);
  std::vector<std::string> chain;
  for (unsigned int i = 0; i < count; ++i) {
    gnutls_datum_t out{nullptr, 0};
    if (gnutls_x509_crt_export2(crts[i], GNUTLS_X509_FMT_DER, &out) >= 0)
      chain.push_back(take_datum(out));
    if (i == 0) {
      gnutls_pubkey_t pub = nullptr;
      if (gnutls_pubkey_init(&pub) >= 0) {
        const Pubkey owned(pub);
        if (gnutls_pubkey_import_x509(pub, crts[i], 0) >= 0)
          leaf_key = public_der(pub);
      }
    }
    gnutls_x509_crt_deinit(crts[i]);
  }
  gnutls_free(crts);
  if (chain.size() != count) refuse(file, "a certificate cannot be read", 0);
  return chain;
}

// The key of a PEM text, or null with code set.
Privkey import_key(const std::string& pem, int& code) {
  gnutls_privkey_t key = nullptr;
  code = gnutls_privkey_init(&key);
  if (code < 0) return nullptr;
  Privkey owned(key);
  const gnutls_datum_t in = datum_of(pem);
  code =
      gnutls_privkey_import_x509_raw(key, &in, GNUTLS_X509_FMT_PEM, nullptr, 0);
  if (code < 0) return nullptr;
  return owned;
}

// What a connection keeps: the settings it began with.
struct ConnectionTls {
  std::shared_ptr<const TlsSettings> settings;
};

const TlsSettings* settings_of(gnutls_session_t session) {
  // libmicrohttpd keeps its connection as the session's pointer.
  auto* connection =
      static_cast<MHD_Connection*>(gnutls_session_get_ptr(session));
  if (connection == nullptr) return nullptr;
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info == nullptr || info->socket_context == nullptr) return nullptr;
  return static_cast<ConnectionTls*>(info->socket_context)->settings.get();
}

}  // namespace

struct TlsHooks {
  static ClientAuth client_auth(const TlsSettings& s) { return s.client_auth_; }

  // Called once the client's certificates are in: 0 lets the handshake go
  // on, anything else ends it.
  static int verify_client(gnutls_session_t session) {
    const TlsSettings* settings = settings_of(session);
    if (settings == nullptr) return -1;
    const ClientAuth auth = settings->client_auth_;
    unsigned int count = 0;
    const gnutls_datum_t* peers = gnutls_certificate_get_peers(session, &count);
    if (peers == nullptr || count == 0)
      return auth == ClientAuth::kRequireAny ||
                     auth == ClientAuth::kRequireAndVerify
                 ? -1
                 : 0;
    if (auth != ClientAuth::kVerifyIfGiven &&
        auth != ClientAuth::kRequireAndVerify)
      return 0;
    std::vector<gnutls_x509_crt_t> crts;
    int result = 0;
    for (unsigned int i = 0; i < count && result == 0; ++i) {
      gnutls_x509_crt_t crt = nullptr;
      if (gnutls_x509_crt_init(&crt) < 0) {
        result = -1;
        break;
      }
      crts.push_back(crt);
      if (gnutls_x509_crt_import(crt, &peers[i], GNUTLS_X509_FMT_DER) < 0)
        result = -1;
    }
    if (result == 0) {
      // A client certificate, as Go's verification of one asks.
      gnutls_typed_vdata_st purpose{};
      purpose.type = GNUTLS_DT_KEY_PURPOSE_OID;
      purpose.data = reinterpret_cast<unsigned char*>(
          const_cast<char*>(GNUTLS_KP_TLS_WWW_CLIENT));
      unsigned int status = 0;
      if (gnutls_x509_trust_list_verify_crt2(
              settings->client_cas_, crts.data(),
              static_cast<unsigned int>(crts.size()), &purpose, 1, 0, &status,
              nullptr) < 0 ||
          status != 0)
        result = -1;
    }
    for (gnutls_x509_crt_t crt : crts) gnutls_x509_crt_deinit(crt);
    return result;
  }

  static int retrieve(gnutls_session_t session, gnutls_pcert_st** certs,
                      unsigned int* certs_length, gnutls_privkey_t* key,
                      unsigned int* flags) {
    const TlsSettings* settings = settings_of(session);
    if (settings == nullptr) return -1;
    const std::size_t n = settings->chain_der_.size();
    // gnutls frees the copies (GNUTLS_CERT_RETR_DEINIT_ALL), so that a
    // reload never frees what a handshake still uses.
    auto* list = static_cast<gnutls_pcert_st*>(
        gnutls_malloc(n * sizeof(gnutls_pcert_st)));
    if (list == nullptr) return -1;
    std::size_t made = 0;
    for (; made < n; ++made) {
      const gnutls_datum_t der = datum_of(settings->chain_der_[made]);
      if (gnutls_pcert_import_x509_raw(&list[made], &der, GNUTLS_X509_FMT_DER,
                                       0) < 0)
        break;
    }
    int code = 0;
    Privkey copy = made == n ? import_key(settings->key_pem_, code) : nullptr;
    if (!copy) {
      for (std::size_t i = 0; i < made; ++i) gnutls_pcert_deinit(&list[i]);
      gnutls_free(list);
      return -1;
    }
    *certs = list;
    *certs_length = static_cast<unsigned int>(n);
    *key = copy.release();
    *flags = GNUTLS_CERT_RETR_DEINIT_ALL;
    return 0;
  }

  static void load_into(TlsSettings& s, const TlsServerFiles& tls,
                        ConfigFiles& files) {
    std::string leaf_key;
    s.chain_der_ =
        read_chain(tls.cert_file, files.read_text(tls.cert_file), leaf_key);
    s.key_pem_ = files.read_text(tls.key_file);
    int code = 0;
    const Privkey key = import_key(s.key_pem_, code);
    if (!key) refuse(tls.key_file, "no PEM private key read", code);
    gnutls_pubkey_t pub = nullptr;
    if (gnutls_pubkey_init(&pub) < 0) refuse(tls.key_file, "no memory", 0);
    const Pubkey owned(pub);
    if (gnutls_pubkey_import_privkey(pub, key.get(), 0, 0) < 0 ||
        public_der(pub) != leaf_key)
      refuse(tls.key_file,
             "the key is not the one of the certificate in " +
                 quote_text(tls.cert_file),
             0);
    s.client_auth_ = tls.client_auth;
    s.priorities_ = tls_priorities(tls.min_version);
    if (tls.client_ca_file.empty()) return;
    const std::string cas = files.read_text(tls.client_ca_file);
    if (gnutls_x509_trust_list_init(&s.client_cas_, 0) < 0)
      refuse(tls.client_ca_file, "no memory", 0);
    const gnutls_datum_t in = datum_of(cas);
    const int added = gnutls_x509_trust_list_add_trust_mem(
        s.client_cas_, &in, nullptr, GNUTLS_X509_FMT_PEM, 0, 0);
    if (added <= 0)
      refuse(tls.client_ca_file, "no PEM certificate read", added);
  }
};

std::shared_ptr<const TlsSettings> TlsSettings::load(const TlsServerFiles& tls,
                                                     ConfigFiles& files) {
  std::shared_ptr<TlsSettings> settings(new TlsSettings);
  TlsHooks::load_into(*settings, tls, files);
  return settings;
}

TlsSettings::~TlsSettings() {
  wipe_secret(key_pem_);
  if (client_cas_ != nullptr) gnutls_x509_trust_list_deinit(client_cas_, 1);
}

std::string tls_priorities(TlsVersion min_version) {
  std::string text = "NORMAL:-VERS-ALL:+VERS-TLS1.3";
  if (min_version <= TlsVersion::k12) text += ":+VERS-TLS1.2";
  if (min_version <= TlsVersion::k11) text += ":+VERS-TLS1.1";
  if (min_version <= TlsVersion::k10) text += ":+VERS-TLS1.0";
  return text;
}

void* start_tls_connection(MHD_Connection* connection,
                           std::shared_ptr<const TlsSettings> settings) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (info == nullptr || info->tls_session == nullptr || !settings)
    return nullptr;
  auto session = static_cast<gnutls_session_t>(info->tls_session);
  // The hooks find the settings through the connection.
  if (gnutls_session_get_ptr(session) != connection) return nullptr;
  if (gnutls_priority_set_direct(session, settings->priorities().c_str(),
                                 nullptr) < 0)
    return nullptr;
  const ClientAuth auth = TlsHooks::client_auth(*settings);
  gnutls_certificate_server_set_request(
      session,
      auth == ClientAuth::kNone ? GNUTLS_CERT_IGNORE
      : auth == ClientAuth::kRequireAny || auth == ClientAuth::kRequireAndVerify
          ? GNUTLS_CERT_REQUIRE
          : GNUTLS_CERT_REQUEST);
  if (auth != ClientAuth::kNone)
    gnutls_session_set_verify_function(session, &TlsHooks::verify_client);
  return new ConnectionTls{std::move(settings)};
}

void end_tls_connection(void* context) {
  delete static_cast<ConnectionTls*>(context);
}

int retrieve_tls_certificate(gnutls_session_t session,
                             const gnutls_cert_retr_st*,
                             gnutls_pcert_st** certs,
                             unsigned int* certs_length,
                             gnutls_ocsp_data_st** ocsp,
                             unsigned int* ocsp_length, gnutls_privkey_t* key,
                             unsigned int* flags) {
  *ocsp = nullptr;
  *ocsp_length = 0;
  return TlsHooks::retrieve(session, certs, certs_length, key, flags);
}

}  // namespace tarnwick
