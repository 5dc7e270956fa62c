// Driving transfers through libcurl multi handles: one by itself, or the
// CurlTransfers of a RequestBatch side by side. Every request goes through a
// multi handle, so that a cancellation wakes its wait and ends it at once.
// Internal to wire/.
#ifndef TARNWICK_WIRE_CURL_BATCH_H_
#define TARNWICK_WIRE_CURL_BATCH_H_

#include <curl/curl.h>

#include <cstddef>
#include <string>

#include "tarnwick/base/cancellation.h"
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
// Once options.cancellation is cancelled, the requests in flight are
// abandoned, their connections closed, and the reason thrown.
void send_batch(RequestBatch& batch, std::size_t in_flight,
                const TransportOptions& options, Clock& clock, CURLSH* kept);

// Drives the transfer `handle` by itself through `multi` (which holds no
// other) to its end, as curl_easy_perform would, and returns libcurl's code
// for it. Once `cancellation` is cancelled, the transfer is abandoned, its
// connection closed, and the reason thrown. Throws Error(kConnection)
// naming url when libcurl cannot drive it.
CURLcode perform_alone(CURLM* multi, CURL* handle, const std::string& url,
                       Cancellation* cancellation);

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_CURL_BATCH_H_
