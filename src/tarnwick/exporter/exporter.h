// The exporter's answers: /probe runs a module's checks against the target a
// scrape names, /metrics shows the exporter's own metrics, / a page of
// links, POST /-/reload reads the configuration again.
#ifndef TARNWICK_EXPORTER_EXPORTER_H_
#define TARNWICK_EXPORTER_EXPORTER_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/clock.h"
#include "tarnwick/exporter/alarm.h"
#include "tarnwick/exporter/exporter_config.h"
#include "tarnwick/exporter/exporter_metrics.h"
#include "tarnwick/exporter/http_server.h"
#include "tarnwick/exporter/kept_connections.h"
#include "tarnwick/exporter/logfmt.h"
#include "tarnwick/exporter/probe.h"
#include "tarnwick/exporter/probe_scheduler.h"
#include "tarnwick/exporter/session_cache.h"

namespace tarnwick {

struct ExporterOptions {
  std::string config_file;
  bool enable_lifecycle = false;  // POST /-/reload
  std::size_t max_in_flight = 32;
  // Taken from the scrape's timeout for a probe's deadline.
  std::chrono::milliseconds timeout_offset{500};
  // Reads the web configuration with the configuration at each reload:
  // what puts it in force, or an empty function with its problems. None:
  // there is none.
  std::function<std::function<void()>(std::vector<std::string>&)> read_web;
};

// A probe's deadline without the scrape's timeout or the module's
// probe_timeout.
inline constexpr std::chrono::seconds kDefaultProbeBudget{120};

class Exporter : public HttpHandler {
 public:
  // Everything must outlive the exporter. Reads no configuration yet.
  Exporter(const ExporterOptions& options, ConfigFiles& files, Logger& log,
           Clock& clock, TransportMaker make_transport);

  // Reads the configuration (and the web configuration), and keeps them
  // when both are good; keeps the ones it had otherwise. Logs what it found,
  // the problems each on a line of its own. Whether it was good. `why` says
  // what asked ("start", "SIGHUP", "POST /-/reload").
  bool reload(std::string_view why);

  void handle(const HttpRequest& request,
              const std::shared_ptr<AnswerSlot>& slot) override;

  // Starts no more probes and tells the running ones to stop sending; then
  // whether they all ended within grace.
  bool stop_probes(Clock::Duration grace);

 private:
  // A scrape of /probe that was admitted.
  struct Scrape {
    std::string module;
    std::string auth;
    std::string target;  // as the scrape gave it
    bool debug = false;
    std::shared_ptr<AnswerSlot> slot;
  };

  void answer_probe(const HttpRequest& request,
                    const std::shared_ptr<AnswerSlot>& slot);
  // Gives the scrape its answer; the run's own scrape also counts and logs
  // the probe.
  void deliver(const Scrape& scrape, const ProbeAnswer& answer,
               AnswerSource source);
  // At the deadline (and a little grace), gives the scrape the answer of a
  // probe that did not end, unless it has had one.
  void answer_at_deadline(const Scrape& scrape,
                          const std::shared_ptr<ProbeRun>& run,
                          Clock::TimePoint deadline);
  void answer_reload(const HttpRequest& request,
                     const std::shared_ptr<AnswerSlot>& slot);
  // Refuses a scrape of /probe: answers, counts and logs it.
  void refuse(const std::shared_ptr<AnswerSlot>& slot, unsigned status,
              const std::string& reason, std::string_view metric_reason,
              const HttpRequest& request);
  std::shared_ptr<const ExporterConfig> config() const;

  const ExporterOptions options_;
  ConfigFiles& files_;
  Logger& log_;
  Clock& clock_;
  const TransportMaker make_transport_;
  ExporterMetrics metrics_;
  mutable std::mutex config_mutex_;
  std::shared_ptr<const ExporterConfig> config_;
  std::mutex reload_mutex_;  // one reload at a time
  // Sessions kept across probes and reloads.
  SessionCache sessions_;
  Alarm alarm_;
  KeptConnections kept_connections_;
  // Last: destroyed first, it joins its threads while all they use is
  // there.
  ProbeScheduler scheduler_;
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_EXPORTER_H_
