// What a controller's certificate says of itself, read with OpenSSL: the
// public-key pin an operator copies into --tls-pin, and what identifies the
// certificate on the controller's console.
#ifndef TARNWICK_WIRE_TLS_CERTIFICATE_H_
#define TARNWICK_WIRE_TLS_CERTIFICATE_H_

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

struct TlsCertificate {
  // "sha256//" and the base64 of the SHA-256 hash of the DER public key
  // (SubjectPublicKeyInfo), as libcurl's CURLOPT_PINNEDPUBLICKEY takes it.
  std::string pin;
  // Distinguished names as RFC 2253 writes them: "CN=ctrl,O=Example".
  std::string subject;
  std::string issuer;
  // In UTC: "2026-12-09T13:42:55Z".
  std::string not_before;
  std::string not_after;
  // The subject alternative names, "DNS:ctrl.example.net", "IP:10.0.0.1",
  // "email:...", "URI:...", in the certificate's order.
  std::vector<std::string> alt_names;
  // The SHA-256 hash of the whole DER certificate, upper-case hex pairs
  // joined by ':', as `openssl x509 -fingerprint -sha256` shows it.
  std::string sha256_fingerprint;
  // The host names and addresses it is for: its DNS and IP alternative
  // names, or without any, the common names of its subject.
  std::vector<std::string> names;
};

// Reads the first certificate of `pem` (PEM, "-----BEGIN CERTIFICATE-----").
// Texts are as the certificate holds them, which may be anything: escape
// them before they reach a terminal. Throws Error(kConnection) "the
// certificate cannot be read" when pem holds none that OpenSSL can parse.
TlsCertificate read_certificate(std::string_view pem);

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_TLS_CERTIFICATE_H_
