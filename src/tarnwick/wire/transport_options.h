// How a transport sends: every setting of the network seam, in one struct
// that a transport is made from (TransportFactory, transport.h). A new
// setting is a field here.
#ifndef TARNWICK_WIRE_TRANSPORT_OPTIONS_H_
#define TARNWICK_WIRE_TRANSPORT_OPTIONS_H_

#include <chrono>
#include <memory>
#include <optional>

#include "tarnwick/base/cancellation.h"
#include "tarnwick/wire/tls_trust.h"

namespace tarnwick {

class ConnectionPool;

struct TransportOptions {
  // Whether a request may go over a connection that an earlier one left
  // open, and leave its own open for a later one; false, each opens a
  // connection of its own and closes it once the reply is in.
  bool reuse_connections = false;
  // The bound on each wait of a request: connecting (the name resolved, the
  // connection made, the TLS handshake done) must finish within it, and
  // once the request is sent no stretch of it may pass without a byte of
  // the reply. Unset, a request waits as long as its connection allows.
  std::optional<std::chrono::milliseconds> timeout;
  // How the controller's certificate is checked.
  TlsTrust trust;
  // Where the connections kept open (reuse_connections) come from and go
  // back to, for transports made one after another or side by side (a
  // server's runs); null, the transport keeps its own.
  std::shared_ptr<ConnectionPool> pool;
  // The run's cancellation: once it is cancelled, the requests in flight
  // end (within 100 ms), their connections closed, and the transport throws
  // its reason (Cancelled) instead of their ends; no request is sent after.
  // Null for none.
  Cancellation* cancellation = nullptr;
};

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_TRANSPORT_OPTIONS_H_
