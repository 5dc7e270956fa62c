#include "tarnwick/wire/transport.h"

#include "tarnwick/base/literal.h"
#include "tarnwick/wire/tls_certificate.h"
#include "tarnwick/wire/tls_trust.h"

namespace tarnwick {

void TransportFactory::refuse_trust(const TlsTrust& trust) {
  if (!trust.verifies_nothing()) {
    throw Error(ErrorKind::kConnection,
                "this transport cannot check the controller's certificate");
  }
}

TlsCertificate Transport::presented_certificate(const Request& request) {
  throw Error(ErrorKind::kConnection,
              "this transport cannot show the certificate of " +
                  quote_text(request.url));
}

}  // namespace tarnwick
