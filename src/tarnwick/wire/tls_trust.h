// How a transport decides whom it talks to: the controller's certificate
// checked against pinned public keys, a CA file, both, or neither; and the
// libcurl side of it, for wire/'s transfers.
#ifndef TARNWICK_WIRE_TLS_TRUST_H_
#define TARNWICK_WIRE_TLS_TRUST_H_

#include <curl/curl.h>

#include <optional>
#include <string>
#include <string_view>

#include "tarnwick/base/error.h"

namespace tarnwick {

struct TlsCertificate;

struct TlsTrust {
  // "sha256//BASE64" public-key pins joined by ';', as libcurl's
  // CURLOPT_PINNEDPUBLICKEY takes them; empty, no key is pinned. A
  // connection whose certificate carries none of them is closed before
  // anything is sent over it.
  std::string pinned_public_keys;
  // A PEM file of the only certificates trusted to sign the controller's
  // (no system store); its chain and its name or address are then verified.
  // Empty, neither is.
  std::string ca_file;

  // Neither set: nothing is verified, the default of the command.
  bool verifies_nothing() const {
    return pinned_public_keys.empty() && ca_file.empty();
  }
  bool operator==(const TlsTrust&) const = default;
};

// Whether `pins` is one or more pins joined by ';', each "sha256//" and the
// base64 of a SHA-256 hash as openssl's `base64` writes it (44 characters,
// the last '='): only such a pin can match, as libcurl compares the texts.
bool is_pin_list(std::string_view pins);

// Checks, before anything is sent, that the CA file can be used. Throws
// Error(kFileNotFound) "no such file: 'PATH'", Error(kFileAccess) when it
// cannot be read or holds no certificate in PEM form.
void check_ca_file(const std::string& path);

// Sets up the transfer `curl` to check the controller as `trust` says; all
// of libcurl's setup of certificate checks is here. Verifying nothing, no
// certificate store is loaded at all. With pins, the handshake fails unless
// the certificate's public key is one of them; with a CA file, unless its
// chain leads to a certificate of that file alone (no system store) and
// its names include the URL's host. Either way libcurl keeps what the
// certificate presented says (CURLOPT_CERTINFO) for trust_failure.
void apply_tls_trust(CURL* curl, const TlsTrust& trust);

// The Error for a transfer set up by apply_tls_trust that libcurl ended
// with `code` because the controller at `url` failed a check of `trust`, or
// nullopt when it ended otherwise. Error(kConnection), marked as ending the
// run (every later request would reach the same impostor): "the controller
// at 'URL' presented key sha256//..., which matches no --tls-pin; nothing
// was sent", or for the CA file "the certificate of the controller at 'URL'
// does not verify against 'FILE': " and what did not ("it has expired",
// "it is for 'ctrl.example.net', not '10.0.0.1'", ...).
std::optional<Error> trust_failure(CURL* curl, CURLcode code,
                                   const TlsTrust& trust,
                                   const std::string& url);

// The certificate the controller presented on the connection of `curl`,
// from libcurl's certificate information (CURLOPT_CERTINFO must be on), or
// nullopt when libcurl has none.
std::optional<TlsCertificate> presented_certificate(CURL* curl);

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_TLS_TRUST_H_
