// How a transport decides whom it talks to: the controller's certificate
// checked against pinned public keys, a CA file, both, or neither.
#ifndef TARNWICK_WIRE_TLS_TRUST_H_
#define TARNWICK_WIRE_TLS_TRUST_H_

#include <string>

namespace tarnwick {

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

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_TLS_TRUST_H_
