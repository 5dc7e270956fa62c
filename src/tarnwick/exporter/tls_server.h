// TLS on the exporter's own port, through libmicrohttpd's GnuTLS: the
// certificate, key and client CAs of a web configuration, read and checked
// whole, and the hooks that give each new connection the settings current
// when it began. The certificate goes out through a callback at each
// handshake, so certificates read again by a reload serve the next
// connection without a restart.
#ifndef TARNWICK_EXPORTER_TLS_SERVER_H_
#define TARNWICK_EXPORTER_TLS_SERVER_H_

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "tarnwick/exporter/exporter_config.h"
#include "tarnwick/exporter/web_config.h"

struct MHD_Connection;

namespace tarnwick {

class TlsSettings {
 public:
  // Reads and checks the files of tls: a certificate chain, its key (which
  // must match the first certificate) and the client CAs. Throws
  // Error(kFileNotFound, kFileAccess or kInvalidValue) naming the file.
  static std::shared_ptr<const TlsSettings> load(const TlsServerFiles& tls,
                                                 ConfigFiles& files);
  TlsSettings(const TlsSettings&) = delete;
  TlsSettings& operator=(const TlsSettings&) = delete;
  ~TlsSettings();

  // GnuTLS's priority string for min_version.
  const std::string& priorities() const { return priorities_; }

 private:
  TlsSettings() = default;
  friend struct TlsHooks;

  std::vector<std::string> chain_der_;  // leaf first
  std::string key_pem_;                 // wiped when destroyed
  gnutls_x509_trust_list_t client_cas_ = nullptr;
  ClientAuth client_auth_ = ClientAuth::kNone;
  std::string priorities_;
};

// GnuTLS's priority string for a minimum version.
std::string tls_priorities(TlsVersion min_version);

// For MHD_OPTION_NOTIFY_CONNECTION: sets up the TLS session of a connection
// that starts with settings (priorities, the client certificate asked
// for and how it is verified) and returns the connection's context, which
// keeps settings until end_tls_connection. Null when the session cannot be
// set up; its handshake then fails.
void* start_tls_connection(MHD_Connection* connection,
                           std::shared_ptr<const TlsSettings> settings);
void end_tls_connection(void* context);

// For MHD_OPTION_HTTPS_CERT_CALLBACK2: hands the handshake a copy of the
// certificate chain and key of its connection's settings.
int retrieve_tls_certificate(gnutls_session_t session,
                             const gnutls_cert_retr_st* info,
                             gnutls_pcert_st** certs,
                             unsigned int* certs_length,
                             gnutls_ocsp_data_st** ocsp,
                             unsigned int* ocsp_length, gnutls_privkey_t* key,
                             unsigned int* flags);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_TLS_SERVER_H_
