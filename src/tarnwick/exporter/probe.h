// One probe: a module's checks run against one controller with one auth's
// credentials, as `tarnwick --keep-going --reuse-session` runs them, and
// what it found as a ProbeAnswer. A probe touches nothing of the process's
// (no signal, no standard output): everything it uses is handed to it.
#ifndef TARNWICK_EXPORTER_PROBE_H_
#define TARNWICK_EXPORTER_PROBE_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "tarnwick/base/clock.h"
#include "tarnwick/exporter/exporter_config.h"
#include "tarnwick/exporter/exporter_metrics.h"
#include "tarnwick/exporter/probe_answer.h"
#include "tarnwick/exporter/session_cache.h"
#include "tarnwick/exporter/target.h"
#include "tarnwick/wire/tls_trust.h"
#include "tarnwick/wire/transport.h"
#include "tarnwick/wire/transport_options.h"

namespace tarnwick {

// What a probe runs.
struct ProbeTask {
  // Holds the module and the auth: a reload does not pull them away from a
  // probe that runs.
  std::shared_ptr<const ExporterConfig> config;
  const Module* module = nullptr;
  const Auth* auth = nullptr;
  ProbeTarget target;
  TlsTrust trust;
  // The target's kept connections (the auth's keep_connections), which the
  // probe's requests go over and leave open for the next probe; null, the
  // probe's connections are its own.
  std::shared_ptr<ConnectionPool> connections;
  // The probe ends by then: no request starts after it, none waits past it.
  Clock::TimePoint deadline;
  Clock::Duration budget{};  // from the probe's start to its deadline
  // Whether the answer carries the probe's trace.
  bool debug = false;
  // Where the sessions of an auth with session_max_age are kept; null,
  // none is.
  SessionCache* sessions = nullptr;
  // Counts the probe's logins, when set.
  ExporterMetrics* metrics = nullptr;
};

// What a probe shows while it runs, and how it is stopped; shared between
// the probe's thread and those of the scrapes waiting for it.
class ProbeProgress {
 public:
  // The check the probe is at, "" before the first.
  std::string check() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return check_;
  }
  void set_check(std::string check) {
    std::lock_guard<std::mutex> lock(mutex_);
    check_ = std::move(check);
  }
  // Set, the probe sends nothing more (the exporter is stopping).
  std::atomic<bool> stop{false};

 private:
  mutable std::mutex mutex_;
  std::string check_;
};

// Makes the transport of a probe from its options (make_controller_transport
// in the exporter); a seam for the tests.
using TransportMaker = std::unique_ptr<Transport> (*)(
    const TransportOptions& options, Clock& clock);

// Runs the probe: logs in once, or takes a kept session when the auth has
// session_max_age (exporter/session_transport.h), or, with the module's
// login_per_check, lets each check log in (kept sessions are then not
// used); runs the module's checks going on past failed ones,
// each request through a transport made by make_transport, whose
// cancellation is the deadline: once it passes, the requests in flight end
// and the probe ends with kind timeout. Never throws: every failure is in the
// answer, its message and the trace without the password or the session id.
ProbeAnswer run_probe(const ProbeTask& job, Clock& clock,
                      ProbeProgress& progress, TransportMaker make_transport);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_PROBE_H_
