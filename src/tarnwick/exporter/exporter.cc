#include "tarnwick/exporter/exporter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <variant>
#include <vector>

#include "tarnwick/exporter/probe_answer.h"
#include "tarnwick/exporter/probe_query.h"
#include "tarnwick/exporter/probe_transport.h"
#include "tarnwick/report/run_end.h"

namespace tarnwick {

namespace {

constexpr std::string_view kMetricsType =
    "text/plain; version=0.0.4; charset=utf-8";
constexpr std::string_view kTextType = "text/plain; charset=utf-8";
// The alarm answers a scrape a little after its deadline, so that a probe
// that ends with its deadline answers with the checks it has run.
constexpr std::chrono::milliseconds kAnswerGrace{50};

HttpAnswer text_answer(unsigned status, std::string body) {
  if (!body.ends_with('\n')) body += '\n';
  return {status, std::string(kTextType), std::move(body), {}};
}

// A probe's answer to a scrape: its metrics, or with debug its trace.
HttpAnswer http_answer(const ProbeAnswer& answer, bool debug, bool cached) {
  if (debug) return text_answer(200, probe_debug_text(answer));
  return {
      200, std::string(kMetricsType), probe_metrics_text(answer, cached), {}};
}

constexpr std::string_view kIndexPage = R"(<!DOCTYPE html>
<html>
<head><title>tarnwick exporter</title></head>
<body>
<h1>tarnwick exporter</h1>
<p>Runs a module's checks against the controller a scrape names.</p>
<ul>
<li><a href="/metrics">/metrics</a>: the exporter's own metrics</li>
<li>/probe?target=ADDRESS&amp;module=MODULE&amp;auth=AUTH: one probe
(add &amp;debug=true for its trace)</li>
<li>POST /-/reload: read the configuration again
(with --web.enable-lifecycle)</li>
</ul>
</body>
</html>
)";

// The probe's budget: the scrape's timeout less the offset, or the module's
// probe_timeout, whichever is smaller; kDefaultProbeBudget without either.
// nullopt for a timeout header that is no positive number of seconds.
std::optional<Clock::Duration> probe_budget(
    const std::optional<std::string>& header, const Module& module,
    std::chrono::milliseconds offset) {
  std::optional<Clock::Duration> budget;
  if (header) {
    double seconds = 0;
    const char* end = header->data() + header->size();
    const auto [stop, error] = std::from_chars(header->data(), end, seconds);
    if (error != std::errc() || stop != end || !std::isfinite(seconds) ||
        seconds <= 0 || seconds > 86400)
      return std::nullopt;
    const auto scrape = std::chrono::duration_cast<Clock::Duration>(
        std::chrono::duration<double>(seconds));
    // An offset as large as the scrape's timeout itself is not taken.
    budget = scrape > offset ? scrape - offset : scrape;
  }
  if (module.probe_timeout)
    budget = budget ? std::min<Clock::Duration>(*budget, *module.probe_timeout)
                    : *module.probe_timeout;
  return budget.value_or(kDefaultProbeBudget);
}

}  // namespace

Exporter::Exporter(const ExporterOptions& options, ConfigFiles& files,
                   Logger& log, Clock& clock, TransportMaker make_transport)
    : options_(options),
      files_(files),
      log_(log),
      clock_(clock),
      make_transport_(make_transport),
      metrics_(clock.wall_time()),
      sessions_(clock),
      kept_connections_(clock),
      scheduler_(options.max_in_flight, clock) {}

std::shared_ptr<const ExporterConfig> Exporter::config() const {
  std::lock_guard<std::mutex> lock(config_mutex_);
  return config_;
}

bool Exporter::reload(std::string_view why) {
  std::lock_guard<std::mutex> reloading(reload_mutex_);
  std::vector<std::string> problems;
  std::shared_ptr<const ExporterConfig> config =
      read_exporter_config(options_.config_file, files_, problems);
  std::vector<std::string> web_problems;
  const std::function<void()> apply_web =
      options_.read_web ? options_.read_web(web_problems) : [] {};
  const bool good = config != nullptr && apply_web != nullptr;
  metrics_.config_read(good, clock_.wall_time());
  if (!good) {
    problems.insert(problems.end(), web_problems.begin(), web_problems.end());
    for (const std::string& problem : problems)
      log_.log(LogLevel::kError, problem, {{"why", why}});
    log_.log(LogLevel::kError,
             "the configuration is not read; the one before is kept",
             {{"file", options_.config_file}, {"why", why}});
    return false;
  }
  apply_web();
  const std::string modules = std::to_string(config->modules.size());
  const std::string auths = std::to_string(config->auths.size());
  // Before any probe is handed the new configuration: a session logged in
  // with credentials that changed is not sent.
  sessions_.adopt(config);
  {
    std::lock_guard<std::mutex> lock(config_mutex_);
    config_ = std::move(config);
  }
  log_.log(LogLevel::kInfo, "configuration read",
           {{"file", options_.config_file},
            {"modules", modules},
            {"auths", auths},
            {"why", why}});
  return true;
}

bool Exporter::stop_probes(Clock::Duration grace) {
  scheduler_.stop();
  return scheduler_.wait_for_runs(grace);
}

void Exporter::handle(const HttpRequest& request,
                      const std::shared_ptr<AnswerSlot>& slot) {
  const bool reading = request.method == "GET" || request.method == "HEAD";
  if (request.path == "/-/reload") {
    answer_reload(request, slot);
    return;
  }
  if (request.path != "/" && request.path != "/metrics" &&
      request.path != "/probe") {
    slot->give(text_answer(404, "not found"));
    return;
  }
  if (!reading) {
    HttpAnswer answer = text_answer(405, "method not allowed");
    answer.headers.emplace_back("Allow", "GET, HEAD");
    slot->give(std::move(answer));
    return;
  }
  if (request.path == "/probe") {
    answer_probe(request, slot);
  } else if (request.path == "/metrics") {
    slot->give({200,
                std::string(kMetricsType),
                metrics_.text(scheduler_.in_flight(), read_process_stats()),
                {}});
  } else {
    slot->give({200, "text/html; charset=utf-8", std::string(kIndexPage), {}});
  }
}

void Exporter::answer_reload(const HttpRequest& request,
                             const std::shared_ptr<AnswerSlot>& slot) {
  if (request.method != "POST" && request.method != "PUT") {
    HttpAnswer answer = text_answer(405, "method not allowed");
    answer.headers.emplace_back("Allow", "POST, PUT");
    slot->give(std::move(answer));
    return;
  }
  if (!options_.enable_lifecycle) {
    slot->give(text_answer(403, "Lifecycle API is not enabled."));
    return;
  }
  slot->give(reload("POST /-/reload")
                 ? text_answer(200, "configuration read")
                 : text_answer(500,
                               "the configuration is not read; the one "
                               "before is kept (see the log)"));
}

void Exporter::refuse(const std::shared_ptr<AnswerSlot>& slot, unsigned status,
                      const std::string& reason, std::string_view metric_reason,
                      const HttpRequest& request) {
  metrics_.refused(metric_reason);
  log_.log(status == 400 ? LogLevel::kDebug : LogLevel::kWarn, "probe refused",
           {{"status", std::to_string(status)},
            {"reason", reason},
            {"peer", request.peer}});
  slot->give(text_answer(status, reason));
}

void Exporter::answer_probe(const HttpRequest& request,
                            const std::shared_ptr<AnswerSlot>& slot) {
  const std::shared_ptr<const ExporterConfig> config = this->config();
  if (!config) {
    slot->give(text_answer(503, "no configuration"));
    return;
  }
  auto read = read_probe_query(*config, request.query);
  if (const auto* refusal = std::get_if<ProbeRefusal>(&read)) {
    refuse(slot, refusal->status, refusal->reason, refusal->metric_reason,
           request);
    return;
  }
  ProbeOrder& order = std::get<ProbeOrder>(read);
  const std::optional<Clock::Duration> budget = probe_budget(
      request.scrape_timeout, *order.module, options_.timeout_offset);
  if (!budget) {
    refuse(slot, 400,
           "X-Prometheus-Scrape-Timeout-Seconds is no number of seconds "
           "above 0",
           kRefusedBadRequest, request);
    return;
  }
  const Clock::TimePoint deadline = clock_.now() + *budget;
  ProbeTask job;
  job.config = config;
  job.module = order.module;
  job.auth = order.auth;
  job.target = order.target;
  job.trust = order.trust;
  if (order.auth->keep_connections) {
    job.connections = kept_connections_.pool_for(
        order.target.controller_address(), order.auth->name, order.trust);
  }
  job.deadline = deadline;
  job.budget = *budget;
  job.debug = order.debug;
  job.sessions = &sessions_;
  job.metrics = &metrics_;
  const Scrape scrape{order.module->name, order.auth->name, order.target_text,
                      order.debug, slot};
  const auto admitted = scheduler_.submit(
      order.debug
          ? std::nullopt
          : std::optional<ProbeKey>(ProbeKey{order.target.controller_address(),
                                             scrape.module, scrape.auth}),
      order.module->min_interval,
      [this, job](ProbeProgress& progress) {
        return run_probe(job, clock_, progress, make_transport_);
      },
      [this, scrape](const ProbeAnswer& answer, AnswerSource source) {
        deliver(scrape, answer, source);
      });
  using Admission = ProbeScheduler::Admission;
  switch (admitted.how) {
    case Admission::kStarted:
    case Admission::kJoined:
      answer_at_deadline(scrape, admitted.run, deadline);
      return;
    case Admission::kCached:
      return;
    case Admission::kBusy:
      refuse(slot, 503,
             "--probes.max-in-flight probes (" +
                 std::to_string(options_.max_in_flight) + ") are running",
             kRefusedBusy, request);
      return;
    case Admission::kStopping:
      slot->give(text_answer(503, "the exporter is stopping"));
      return;
  }
}

void Exporter::deliver(const Scrape& scrape, const ProbeAnswer& answer,
                       AnswerSource source) {
  // Counted before the answer goes, so that /metrics read after it counts it.
  if (source != AnswerSource::kRun) {
    metrics_.answer_shared(scrape.module, source == AnswerSource::kCached);
  } else if (answer.success) {
    metrics_.probe_ended(scrape.module, true);
    log_.log(LogLevel::kDebug, "probe succeeded",
             {{"target", scrape.target},
              {"module", scrape.module},
              {"auth", scrape.auth},
              {"duration_seconds", seconds_text(answer.duration)}});
  } else {
    metrics_.probe_ended(scrape.module, false);
    const ProbeFailure& f = answer.failures.front();
    log_.log(LogLevel::kInfo, "probe failed",
             {{"target", scrape.target},
              {"module", scrape.module},
              {"auth", scrape.auth},
              {"kind", f.kind},
              {"check", f.check},
              {"reason", f.message}});
  }
  scrape.slot->give(
      http_answer(answer, scrape.debug, source == AnswerSource::kCached));
}

void Exporter::answer_at_deadline(const Scrape& scrape,
                                  const std::shared_ptr<ProbeRun>& run,
                                  Clock::TimePoint deadline) {
  // Weak: an answered scrape or an ended run holds nothing here.
  const std::weak_ptr<AnswerSlot> weak_slot = scrape.slot;
  const std::weak_ptr<ProbeRun> weak_run = run;
  const bool debug = scrape.debug;
  alarm_.at(deadline + kAnswerGrace, [this, weak_slot, weak_run, debug] {
    const std::shared_ptr<AnswerSlot> waiting = weak_slot.lock();
    const std::shared_ptr<ProbeRun> running = weak_run.lock();
    if (!waiting || !running) return;
    waiting->give(http_answer(deadline_answer(clock_.now() - running->started,
                                              running->progress.check()),
                              debug, false));
  });
}

}  // namespace tarnwick
