// The network seam: one controller request, a form POSTed to a URL, and what
// came back. Abstract so that tests can stand in for the network.
#ifndef TARNWICK_WIRE_TRANSPORT_H_
#define TARNWICK_WIRE_TRANSPORT_H_

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "tarnwick/base/clock.h"

namespace tarnwick {

struct Request {
  std::string url;
  // application/x-www-form-urlencoded, as encode_form makes it.
  std::string form;
  // The bound on each wait: connecting (the name resolved, the connection
  // made, the TLS handshake done) must finish within it, and once the
  // request is sent no stretch of it may pass without a byte of the reply.
  // Unset, a request waits as long as its connection allows.
  std::optional<std::chrono::milliseconds> timeout;
  // Whether the request may go over a connection that an earlier request
  // left open, and leave its own open for a later one. Unset, it opens a
  // connection of its own and closes it once the reply is in.
  bool reuse_connection = false;

  // What the request is for, for messages and traces; never a secret.
  std::string check;    // the check and its chain of references, "" for none
  std::string action;   // the form's action ("login" for a login)
  std::string element;  // for a compound request, its element as shown
};

struct Reply {
  long status = 0;            // the HTTP status
  std::string content_type;   // as the reply's header gives it, or ""
  std::string body;           // decoded from its Content-Encoding
  std::string location;       // where a redirect points, or ""
  std::size_t bytes = 0;      // of the body as it arrived, before decoding
  Clock::Duration elapsed{};  // from the start of the request to its end
  // It came over a connection an earlier request had opened.
  bool reused_connection = false;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends the request and returns the reply, whatever its status. Redirects
  // are not followed: a redirect is a reply like any other. Throws
  // Error(kConnection) when the request cannot be completed,
  // Error(kInvalidReply) when the whole reply arrived but its body cannot be
  // decoded, and Error(kTimeout) when it overran request.timeout.
  virtual Reply post(const Request& request) = 0;
};

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_TRANSPORT_H_
