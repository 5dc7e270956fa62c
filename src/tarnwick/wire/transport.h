// The network seam: one controller request, a form POSTed to a URL, and what
// came back; or many such requests side by side; and the transports made
// from options. Abstract so that tests can stand in for the network.
#ifndef TARNWICK_WIRE_TRANSPORT_H_
#define TARNWICK_WIRE_TRANSPORT_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "tarnwick/base/cancellation.h"
#include "tarnwick/base/clock.h"
#include "tarnwick/base/error.h"
#include "tarnwick/wire/transport_options.h"

namespace tarnwick {

struct TlsCertificate;  // tls_certificate.h

struct Request {
  std::string url;
  // application/x-www-form-urlencoded, as encode_form makes it.
  std::string form;

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
  // The connection it came over: one of its own, closed once the reply was
  // in; or, with TransportOptions::reuse_connections, one kept open for the
  // requests after it, opened for this request or by an earlier one.
  enum class Connection { kOwn, kNew, kReused };
  Connection connection = Connection::kOwn;
};

// The requests that Transport::post_many sends side by side, numbered from
// 0: the batch hands each one out when it is about to be sent and learns how
// each one ended, in the order they end, which need not be their order.
// post_many calls these one at a time, from the thread that called it.
class RequestBatch {
 public:
  virtual ~RequestBatch() = default;

  // How many requests the batch wants sent: those numbered below it. Asked
  // before each request is handed out and after each one ends; it never
  // grows. Once it drops to or below the number of a request in flight,
  // that request is abandoned (its transfer stopped, which may close its
  // connection) and ends nowhere; none at or above it is handed out.
  virtual std::size_t wanted() = 0;

  // Request `index`, handed out in order (0, 1, 2, ...) just before it is
  // sent. May throw Error: the request is then not sent, and fails with it.
  virtual Request request(std::size_t index) = 0;

  // Request `index` ended: with a reply, whatever its status, or with the
  // Error that Transport::post throws. Exactly one of them is called for
  // each request handed out that is not abandoned.
  virtual void received(std::size_t index, Reply reply) = 0;
  virtual void failed(std::size_t index, const Error& error) = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends the request and returns the reply, whatever its status. Redirects
  // are not followed: a redirect is a reply like any other. Throws
  // Error(kConnection) when the request cannot be completed,
  // Error(kInvalidReply) when the whole reply arrived but its body cannot be
  // decoded, Error(kTimeout) when it overran TransportOptions::timeout, and
  // the Cancelled reason of TransportOptions::cancellation.
  virtual Reply post(const Request& request) = 0;

  // Sends the batch's requests, up to `in_flight` of them unanswered at a
  // time, and returns once none is left in flight and none more is wanted.
  // Each request is treated as post treats it, with a timeout of its own:
  // its waits count from when it was sent, so a controller that serves one
  // request at a time makes the later ones wait within their limits. The
  // controller may receive them in another order than their numbers. A
  // caller that wants no more after a failure lowers batch.wanted(): the
  // requests before it still end, the later ones are abandoned or never
  // sent. An exception from the batch other than an Error from request(),
  // and a cancellation (Cancelled), end post_many at once, the requests in
  // flight abandoned, and pass through. A reply is handed over as soon as it is
  // in, so at most `in_flight` of them are held at once. This default sends
  // them one after another through post(), whatever `in_flight` says.
  virtual void post_many(RequestBatch& batch, std::size_t in_flight) {
    static_cast<void>(in_flight);
    for (std::size_t i = 0; i < batch.wanted(); ++i) {
      std::optional<Reply> reply;
      try {
        reply = post(batch.request(i));
      } catch (const Cancelled&) {
        throw;
      } catch (const Error& e) {
        batch.failed(i, e);
        continue;
      }
      batch.received(i, std::move(*reply));
    }
  }

  // Connects to request.url and completes the TLS handshake, checking the
  // controller as TransportOptions::trust says, and returns the certificate
  // it presented.
  // Sends nothing over the connection, and closes it. Throws as post does.
  // This default throws Error(kConnection).
  virtual TlsCertificate presented_certificate(const Request& request);
};

// Makes the transports a run sends through, each from its options: the
// real one in main, a stand-in in tests.
class TransportFactory {
 public:
  virtual ~TransportFactory() = default;
  // What options.pool points to must outlive the transport. The transport
  // checks the controller as options.trust says on every connection it
  // opens, before anything is sent over it; a factory whose transports
  // cannot check it throws Error(kConnection) for a trust that verifies
  // anything (refuse_trust): such a transport must not send the password.
  virtual std::unique_ptr<Transport> make_transport(
      const TransportOptions& options) = 0;

 protected:
  // For a factory whose transports cannot check the controller: throws
  // Error(kConnection) unless `trust` verifies nothing.
  static void refuse_trust(const TlsTrust& trust);
};

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_TRANSPORT_H_
