// The transport of one probe: every request bounded by the probe's
// deadline, counted for its metrics and, for a debug probe, traced.
#ifndef TARNWICK_EXPORTER_PROBE_TRANSPORT_H_
#define TARNWICK_EXPORTER_PROBE_TRANSPORT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "tarnwick/base/clock.h"
#include "tarnwick/base/output.h"
#include "tarnwick/wire/transport.h"
#include "tarnwick/wire/transport_options.h"

namespace tarnwick {

// The transport a probe talks to its controller through, made afresh for
// each probe from its options (the auth's trust, the probe's deadline as
// the cancellation), so that two probes share no login session, and no
// connection unless the options hand them the target's kept ones
// (options.pool).
// clock must outlive it, and so must what the options point to.
std::unique_ptr<Transport> make_controller_transport(
    const TransportOptions& options, Clock& clock);

// Sends each request through `inner`, whose cancellation is `deadline`'s. A
// request that would start at or after the deadline, or that fails once it
// has passed (the cancellation ending it among them), fails with
// Error(kTimeout) "the probe's deadline of 9.500 s passed ...", marked as
// ending the run; once `stop` is set, a request fails with
// Error(kInterrupted) instead. Counts the requests and the bytes of the
// replies; with `trace`, writes each request's trace line there
// (wire/trace_line.h) when it ends. Everything must outlive it.
class ProbeTransport : public Transport {
 public:
  ProbeTransport(Transport& inner, Clock& clock, Clock::TimePoint deadline,
                 Clock::Duration budget, const std::atomic<bool>& stop,
                 Output* trace)
      : inner_(inner),
        clock_(clock),
        deadline_(deadline),
        budget_(budget),
        stop_(stop),
        trace_(trace) {}

  Reply post(const Request& request) override;
  void post_many(RequestBatch& batch, std::size_t in_flight) override;

  std::size_t requests() const { return requests_; }
  std::uint64_t reply_bytes() const { return reply_bytes_; }

 private:
  class Batch;

  // Counts request, or throws when the probe stops or its deadline passed.
  const Request& bounded(const Request& request);
  // The deadline's failure for a request to url.
  Error deadline_passed(const std::string& url) const;
  // e, or the deadline's failure when e came once the deadline had passed.
  Error after_deadline(const Error& e, const std::string& url);
  void traced(const Request& request, const Reply* reply,
              Clock::Duration elapsed, const Error* error);

  Transport& inner_;
  Clock& clock_;
  const Clock::TimePoint deadline_;
  const Clock::Duration budget_;
  const std::atomic<bool>& stop_;
  Output* trace_;
  std::size_t requests_ = 0;
  std::uint64_t reply_bytes_ = 0;
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_PROBE_TRANSPORT_H_
