// The real Transport: HTTPS through libcurl.
#ifndef TARNWICK_WIRE_CURL_TRANSPORT_H_
#define TARNWICK_WIRE_CURL_TRANSPORT_H_

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/base/clock.h"
#include "tarnwick/wire/transport.h"
#include "tarnwick/wire/transport_options.h"

namespace tarnwick {

// Redirects not followed, compressed replies decoded, "User-Agent:
// tarnwick/VERSION", and as the options say: no time limit unless a
// timeout; no certificate verification (and no certificate store loaded)
// unless the trust asks for it (tls_trust.h says how it is checked).
// A request opens a connection of its own and closes it, unless the options
// reuse connections: then it goes over a connection that an earlier request
// left open (HTTP/2 where the controller offers it, HTTP/1.1 keep-alive
// otherwise; one idle for 3 s, in libcurl 7.88's whole seconds, is not used
// again), and a connection opened anew resumes the TLS session of an earlier
// one. When the kept connection closes before the first byte of the reply,
// libcurl before 8.16 sends the request again, once, on a new connection;
// built against 8.16 or later, the request fails instead. Connection
// failures are worded by what failed: "cannot reach" (unresolvable, refused,
// no host in the URL), "TLS handshake with ... failed", "request to ...
// failed"; an overrun by the phase it was in: "no connection to ...
// within", "no reply from ... for", "the reply from ... stopped for".
//
// post_many with in_flight above 1 drives its requests side by side through
// one libcurl multi handle, sharing the kept connections with post: over
// HTTP/2, as streams of one connection (each waits to learn whether the
// controller speaks HTTP/2 before it opens another); over HTTP/1.1, at most
// in_flight connections, left open for the requests after. With in_flight
// 1, the requests go through post one after another.
//
// Every request, one by itself too, is driven through a libcurl multi
// handle, which the options' cancellation wakes: the requests in flight then
// end at once, their connections closed.
class CurlTransport : public Transport {
 public:
  // clock measures Reply::elapsed; it must outlive the transport, and so
  // must what options.pool points to.
  explicit CurlTransport(Clock& clock, TransportOptions options = {});
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  Reply post(const Request& request) override;
  void post_many(RequestBatch& batch, std::size_t in_flight) override;
  // Over a connection of its own, with libcurl's CURLOPT_CONNECT_ONLY.
  TlsCertificate presented_certificate(const Request& request) override;

 private:
  // Sets libcurl up at the first request; whether it could be.
  bool started();
  // The libcurl share of the kept connections, taken at first use; null
  // when the options do not reuse connections.
  void* kept();
  // The multi handle that drives post's transfers, made at first use.
  void* multi();

  Clock& clock_;
  const TransportOptions options_;
  // libcurl (and its TLS library) is set up at the first request, so a run
  // that sends none does not pay for it.
  bool initialized_ = false;
  bool init_ok_ = false;
  std::shared_ptr<ConnectionPool> pool_;  // options_.pool, or its own
  void* kept_ = nullptr;                  // taken from pool_
  void* multi_ = nullptr;
};

// Connections kept open, the TLS sessions that reopened connections resume,
// and name lookups, for the CurlTransports made with it. A transport takes
// a set of them at its first request that may reuse a connection and gives
// it back when it ends, so that sets pass from one transport to the next,
// but never is one set used by two transports at once (libcurl cannot
// share a connection between threads), nor by a transport of another trust
// than the one it was opened under. Thread-safe. The connections close with
// the pool.
//
// The shares have no lock functions (CURLSHOPT_LOCKFUNC): libcurl takes
// them around its use of a share's connections, TLS sessions and name
// lookups, which matters only when two threads use one share at once, and
// here one transport at a time holds it; the pool's mutex orders its hand
// over from one transport's thread to the next.
class ConnectionPool {
 public:
  ConnectionPool() = default;
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

 private:
  friend class CurlTransport;
  // A libcurl share that no transport holds, last used under `trust`, made
  // when none is free; null when libcurl cannot make one.
  void* take(const TlsTrust& trust);
  void give(void* share, const TlsTrust& trust);

  std::mutex mutex_;
  std::vector<std::pair<TlsTrust, void*>> free_;
};

// The CurlTransports of a process, on its clock.
class CurlTransportFactory : public TransportFactory {
 public:
  // clock must outlive the factory and every transport it makes.
  explicit CurlTransportFactory(Clock& clock) : clock_(clock) {}
  std::unique_ptr<Transport> make_transport(
      const TransportOptions& options) override;

 private:
  Clock& clock_;
};

// The versions of libcurl and of its TLS library in use, as they name
// themselves, one per line: "libcurl 7.88.1\nOpenSSL/3.0.17\n".
std::string http_library_versions();

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_CURL_TRANSPORT_H_
