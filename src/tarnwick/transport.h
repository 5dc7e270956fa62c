// The network seam: one controller request, a form POSTed to a URL, and what
// came back. Abstract so that tests can stand in for the network.
#ifndef TARNWICK_TRANSPORT_H_
#define TARNWICK_TRANSPORT_H_

#include <cstddef>
#include <string>

#include "tarnwick/clock.h"

namespace tarnwick {

struct Request {
  std::string url;
  // application/x-www-form-urlencoded, as encode_form makes it.
  std::string form;
};

struct Reply {
  long status = 0;            // the HTTP status
  std::string content_type;   // as the reply's header gives it, or ""
  std::string body;           // decoded from its Content-Encoding
  std::size_t bytes = 0;      // of the body as it arrived, before decoding
  Clock::Duration elapsed{};  // from the start of the request to its end
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends the request and returns the reply, whatever its status. Redirects
  // are not followed: a redirect is a reply like any other. Throws
  // Error(kConnection) when the request cannot be completed, and
  // Error(kInvalidReply) when the whole reply arrived but its body cannot be
  // decoded.
  virtual Reply post(const Request& request) = 0;
};

}  // namespace tarnwick

#endif  // TARNWICK_TRANSPORT_H_
