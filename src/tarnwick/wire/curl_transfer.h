// One request as a libcurl transfer: an easy handle with every option set
// from the Request, what arrives while it runs, and the Reply or Error it
// comes to. The setup and the outcome do not depend on how the handle is
// driven: CurlTransport::post performs one transfer by itself, send_batch
// drives several with a multi handle. Internal to wire/.
#ifndef TARNWICK_WIRE_CURL_TRANSFER_H_
#define TARNWICK_WIRE_CURL_TRANSFER_H_

#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "tarnwick/base/cancellation.h"
#include "tarnwick/base/clock.h"
#include "tarnwick/wire/tls_trust.h"
#include "tarnwick/wire/transport.h"
#include "tarnwick/wire/transport_options.h"

namespace tarnwick {

// What a transfer gathers while libcurl runs it; its callbacks write here.
struct Reception {
  CURL* curl = nullptr;
  std::string body;
  bool out_of_memory = false;

  // The run's cancellation, which ends the transfer from the progress
  // callback; null for none.
  Cancellation* cancellation = nullptr;

  // The watch on a request with a timeout, kept by the progress callback.
  Clock* clock = nullptr;
  Clock::Duration limit{};
  bool sent = false;           // connected, the request on its way
  bool stalled = false;        // the watch ended the transfer
  std::uint64_t activity = 0;  // header lines; bytes are counted by libcurl
  std::uint64_t last_seen = 0;
  Clock::TimePoint last_progress;
};

class CurlTransfer {
 public:
  // Sets up an easy handle for request as options say; request and options
  // must outlive the transfer (the form is sent from where it lies). With
  // `kept`, a share of connections and TLS sessions, the request takes its
  // connection from there and leaves it there; without, it opens its own
  // and closes it. The controller is checked as options.trust says (a
  // failed check is reported by finish as trust_failure words it). Throws
  // Error(kConnection) for a URL without a host ("cannot reach") and when
  // libcurl cannot be set up.
  CurlTransfer(const Request& request, const TransportOptions& options,
               Clock& clock, CURLSH* kept);
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;
  ~CurlTransfer();

  CURL* handle() const { return curl_; }

  // The reply, once libcurl has ended the transfer with `code`; or the
  // Error it comes to, as the Transport interface words it.
  Reply finish(CURLcode code);

  // Whether the request may go over a kept connection.
  bool reuses_connections() const { return reuses_; }

 private:
  const Request& request_;
  const TransportOptions& options_;
  bool reuses_;
  Clock& clock_;
  Clock::TimePoint start_;
  CURL* curl_ = nullptr;
  curl_slist* headers_ = nullptr;
  // Where libcurl's callbacks write: the transfer does not move.
  Reception reception_;
  char error_buffer_[CURL_ERROR_SIZE] = "";
};

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_CURL_TRANSFER_H_
