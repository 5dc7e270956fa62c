// Requests side by side: the CurlTransfers of a RequestBatch, driven
// together by one libcurl multi handle. Internal to wire/.
#ifndef TARNWICK_WIRE_CURL_BATCH_H_
#define TARNWICK_WIRE_CURL_BATCH_H_

#include <curl/curl.h>

#include <cstddef>

#include "tarnwick/base/clock.h"
#include "tarnwick/wire/transport.h"
#include "tarnwick/wire/transport_options.h"

namespace tarnwick {

// Sends the batch's requests as Transport::post_many says, up to in_flight
// (at least 2) unanswered at a time, each a CurlTransfer with `options` and
// `kept` as CurlTransfer takes them. With `kept`, the requests share the
// kept connections: over HTTP/2, as streams of one connection (each waits
// to learn whether the controller speaks HTTP/2 before it opens another);
// over HTTP/1.1, one request per connection, at most in_flight
// connections. libcurl must be set up (curl_global_init) already.
void send_batch(RequestBatch& batch, std::size_t in_flight,
                const TransportOptions& options, Clock& clock, CURLSH* kept);

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_CURL_BATCH_H_
