// The real Transport: HTTPS through libcurl.
#ifndef TARNWICK_WIRE_CURL_TRANSPORT_H_
#define TARNWICK_WIRE_CURL_TRANSPORT_H_

#include <cstddef>
#include <memory>
#include <string>

#include "tarnwick/base/clock.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

struct TlsTrust;

// No certificate verification (and no certificate store loaded) unless
// set_trust asks for it (tls_trust.h says how it is checked), no time
// limit but the request's own, redirects not followed, compressed replies
// decoded, "User-Agent: tarnwick/VERSION". A request opens a connection of
// its own and closes it, unless it has Request::reuse_connection: then it
// goes over a connection that such a request left open (HTTP/2 where the
// controller offers it, HTTP/1.1 keep-alive otherwise; one idle for 3 s is
// not used again), and a connection opened anew resumes the TLS session of
// an earlier one. When the kept connection closes before the first byte of
// the reply, libcurl before 8.16 sends the request again, once, on a new
// connection; built against 8.16 or later, the request fails instead.
// Connection failures are worded by what failed: "cannot reach"
// (unresolvable, refused, no host in the URL), "TLS handshake with ...
// failed", "request to ... failed"; an overrun by the phase it was in:
// "no connection to ... within", "no reply from ... for", "the reply from
// ... stopped for".
//
// post_many with in_flight above 1 drives its requests side by side through
// one libcurl multi handle; those with Request::reuse_connection share the
// kept connections with post: over HTTP/2, as streams of one connection
// (each waits to learn whether the controller speaks HTTP/2 before it
// opens another); over HTTP/1.1, at most in_flight connections, left open
// for the requests after. With in_flight 1, the requests go through post
// one after another.
class CurlTransport : public Transport {
 public:
  // clock measures Reply::elapsed; it must outlive the transport.
  explicit CurlTransport(Clock& clock);
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  Reply post(const Request& request) override;
  void post_many(RequestBatch& batch, std::size_t in_flight) override;
  // Another trust than before closes the connections kept open and forgets
  // the TLS sessions they would resume.
  void set_trust(const TlsTrust& trust) override;
  // Over a connection of its own, with libcurl's CURLOPT_CONNECT_ONLY.
  TlsCertificate presented_certificate(const Request& request) override;

 private:
  // Sets libcurl up at the first request; whether it could be.
  bool started();
  // The connections kept open, made at first use.
  struct Kept;
  Kept& kept();

  Clock& clock_;
  // libcurl (and its TLS library) is set up at the first request, so a run
  // that sends none does not pay for it.
  bool initialized_ = false;
  bool init_ok_ = false;
  std::unique_ptr<Kept> kept_;
  // Never null; the transfers hold on to it while they run.
  std::unique_ptr<TlsTrust> trust_;
};

// The versions of libcurl and of its TLS library in use, as they name
// themselves, one per line: "libcurl 7.88.1\nOpenSSL/3.0.17\n".
std::string http_library_versions();

// The CurlTransport of the process, on a SteadyClock, made at first use; for
// the operations that keep their signatures without a Transport.
Transport& process_curl_transport();

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_CURL_TRANSPORT_H_
