// The real Transport: HTTPS through libcurl.
#ifndef TARNWICK_WIRE_CURL_TRANSPORT_H_
#define TARNWICK_WIRE_CURL_TRANSPORT_H_

#include <string>

#include "tarnwick/base/clock.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

// No certificate verification (and no certificate store loaded), a fresh
// connection per request and none left open, no time limit but the
// request's own, redirects not followed, compressed replies decoded.
// Connection failures are worded by what failed: "cannot reach"
// (unresolvable, refused, no host in the URL), "TLS handshake with ...
// failed", "request to ... failed"; an overrun by the phase it was in:
// "no connection to ... within", "no reply from ... for", "the reply from
// ... stopped for".
class CurlTransport : public Transport {
 public:
  // clock measures Reply::elapsed; it must outlive the transport.
  explicit CurlTransport(Clock& clock);
  Reply post(const Request& request) override;

 private:
  Clock& clock_;
  // libcurl (and its TLS library) is set up at the first request, so a run
  // that sends none does not pay for it.
  bool initialized_ = false;
  bool init_ok_ = false;
};

// The versions of libcurl and of its TLS library in use, as they name
// themselves, one per line: "libcurl 7.88.1\nOpenSSL/3.0.17\n".
std::string http_library_versions();

// The CurlTransport of the process, on a SteadyClock, made at first use; for
// the operations that keep their signatures without a Transport.
Transport& process_curl_transport();

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_CURL_TRANSPORT_H_
