// The bookkeeping around every request of a run: standard output flushed
// before it, an interruption while it waits named, and with --verbose a
// trace line when it ends.
#ifndef TARNWICK_APP_TRACED_TRANSPORT_H_
#define TARNWICK_APP_TRACED_TRANSPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "tarnwick/base/clock.h"
#include "tarnwick/base/output.h"
#include "tarnwick/wire/trace_line.h"  // trace_line for callers
#include "tarnwick/wire/transport.h"

namespace tarnwick {

// What the requests of a run amount to, for the run's metrics.
struct Traffic {
  std::size_t requests = 0;       // sent, failed ones included
  std::uint64_t reply_bytes = 0;  // of the bodies as they arrived
};

// Sends each request through `inner`. Before it: `out` is flushed, so the
// report so far is out before the run waits, and an interruption would name
// the URL and check (set_interruption_context). While it waits, requests
// wait (note_requests_waiting): a routed signal (InterruptionRoute) or any
// cancellation that ends the wait is thrown (Cancelled) with what was
// waited for, " while waiting for 'URL' (in a.cfg)", and without a trace
// line; so is a routed signal that came as the request ended anyway. After
// it: the interruption context is cleared, and with `trace` a trace line is
// written to it (errors writing it are ignored). With `traffic`, every
// request and the bytes of every reply are counted there. Everything must
// outlive it.
//
// A batch of more than one request in flight goes to `inner` whole, `out`
// flushed before it: each request's trace line is written as it ends, in
// the order they end, and while any is in flight an interruption names the
// first of them by number, with its element, and how many more there are:
// " while waiting for 'URL' (in a.cfg, element 'gw-04') and 7 more
// requests". One at a time, each request goes through post.
class TracedTransport : public Transport {
 public:
  TracedTransport(Transport& inner, Output& out, Output* trace, Clock& clock,
                  Traffic* traffic = nullptr)
      : inner_(inner),
        out_(out),
        trace_(trace),
        clock_(clock),
        traffic_(traffic) {}

  Reply post(const Request& request) override;
  void post_many(RequestBatch& batch, std::size_t in_flight) override;

 private:
  Transport& inner_;
  Output& out_;
  Output* trace_;
  Clock& clock_;
  Traffic* traffic_;
};

}  // namespace tarnwick

#endif  // TARNWICK_APP_TRACED_TRANSPORT_H_
