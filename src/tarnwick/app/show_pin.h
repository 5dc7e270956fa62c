// --tls-show-pin: the certificate a controller presents, shown so that the
// operator can compare it with the controller's console and copy its pin.
#ifndef TARNWICK_APP_SHOW_PIN_H_
#define TARNWICK_APP_SHOW_PIN_H_

#include "tarnwick/base/output.h"
#include "tarnwick/wire/tls_certificate.h"

namespace tarnwick {

// Writes the certificate to out, one "name: value" per line: pin, subject,
// issuer, not_before, not_after, subject_alt_names (joined by ", ") and
// sha256_fingerprint, their values escaped as error lines escape theirs
// (a certificate may hold anything); with json, one JSON object with the
// same members in that order, subject_alt_names a list. Throws OutputError
// as Output does.
void write_certificate(const TlsCertificate& certificate, bool json,
                       Output& out);

}  // namespace tarnwick

#endif  // TARNWICK_APP_SHOW_PIN_H_
