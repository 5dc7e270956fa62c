// Requests side by side: the CurlTransfers of a RequestBatch, driven
// together by one libcurl multi handle. Internal to wire/.
#ifndef TARNWICK_WIRE_CURL_BATCH_H_
#define TARNWICK_WIRE_CURL_BATCH_H_

#include <curl/curl.h>

#include <cstddef>

#include "tarnwick/base/clock.h"
#include "tarnwick/wire/tls_trust.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

// Sends the batch's requests as Transport::post_many says, up to in_flight
// (at least 2) unanswered at a time, each a CurlTransfer with `kept` and
// `trust` as CurlTransfer takes them. The requests that may reuse connections
// share them: over HTTP/2, as streams of one connection (each waits to learn
// whether the controller speaks HTTP/2 before it opens another); over HTTP/1.1,
// one request per connection, at most in_flight connections. libcurl must be
// set up (curl_global_init) already.
void send_batch(RequestBatch& batch, std::size_t in_flight, Clock& clock,
                CURLSH* kept, const TlsTrust& trust);

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_CURL_BATCH_H_
