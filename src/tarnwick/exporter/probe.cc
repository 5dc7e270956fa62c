#include "tarnwick/exporter/probe.h"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick/base/cancellation.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/error_line.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/output.h"
#include "tarnwick/base/scrub.h"
#include "tarnwick/base/secret.h"
#include "tarnwick/check/run_settings.h"
#include "tarnwick/check/session.h"
#include "tarnwick/exporter/probe_transport.h"
#include "tarnwick/exporter/session_transport.h"
#include "tarnwick/report/metrics_report.h"
#include "tarnwick/report/report_writer.h"
#include "tarnwick/report/run_end.h"
#include "tarnwick/suite/suite_run.h"
#include "tarnwick/suite/tally.h"
#include "tarnwick/wire/reply_summary.h"
#include "tarnwick/wire/transport_options.h"

namespace tarnwick {

namespace {

// The most of a debug probe's trace that is kept.
constexpr std::size_t kMaxTrace = 1 << 20;

// Notes each check the probe starts, and each that fails.
class FailureNotes : public ReportWriter {
 public:
  FailureNotes(ProbeProgress& progress, std::vector<ProbeFailure>& failures)
      : progress_(progress), failures_(failures) {}

  void check_started(std::string_view name,
                     const std::optional<std::string>&) override {
    progress_.set_check(std::string(name));
  }
  void check_finished(const CheckOutcome& outcome) override {
    last_ended_run_ = outcome.ends_run;
    if (!outcome.failed()) return;
    failures_.push_back({error_kind_name(outcome.error->kind()), outcome.name,
                         outcome.error->what()});
  }
  void check_planned(const CheckPlan&) override {}

  // Whether the last check that ended ended the probe with its failure.
  bool last_ended_run() const { return last_ended_run_; }

 private:
  ProbeProgress& progress_;
  std::vector<ProbeFailure>& failures_;
  bool last_ended_run_ = false;
};

// The run settings of the probe, the password copied in place.
void fix_settings(const ProbeTask& job, RunSettings& settings) {
  const Module& module = *job.module;
  settings.controller_ip = job.target.controller_address();
  settings.username = job.auth->username;
  settings.password = job.auth->password;
  settings.config_dir = module.checks;
  settings.fail_http = module.fail_http;
  settings.in_flight = module.in_flight.value_or(1);
}

// How the probe's requests are sent: under the auth's trust, each within the
// module's timeout, and all of them cancelled by `deadline`.
TransportOptions transport_options(const ProbeTask& job,
                                   Cancellation& deadline) {
  TransportOptions options;
  options.timeout = job.module->timeout;
  // Requests side by side go over kept connections, as with --in-flight;
  // with the target's pool, every request does.
  options.reuse_connections =
      job.module->in_flight.has_value() || job.connections != nullptr;
  options.trust = job.trust;
  options.pool = job.connections;
  options.cancellation = &deadline;
  return options;
}

// Where the probe's session is kept: nowhere without session_max_age, nor
// for a module whose checks log in for themselves.
std::optional<KeptSessions> kept_sessions(const ProbeTask& job,
                                          Cancellation& deadline,
                                          const ProbeProgress& progress) {
  if (job.sessions == nullptr || !job.auth->session_max_age ||
      job.module->login_per_check)
    return std::nullopt;
  const std::string url =
      quote_text(controller_api_url(job.target.controller_address()));
  return KeptSessions{
      job.sessions, job.target.controller_address(), job.auth, job.trust,
      [&deadline, &progress, url] {
        try {
          deadline.throw_if_cancelled();
        } catch (const Cancelled& c) {
          throw c.with_context(
              " while it waited for another probe's login to " + url);
        }
        if (progress.stop.load()) {
          throw Error(
              ErrorKind::kInterrupted,
              "the exporter is stopping; nothing more is sent to " + url);
        }
      }};
}

// What ended the probe, from the exception in flight.
ProbeFailure failure_in_flight() {
  try {
    throw;
  } catch (const Error& e) {
    return {error_kind_name(e.kind()), "", e.what()};
  } catch (const std::bad_alloc&) {
    return {"internal error", "", "out of memory"};
  } catch (const std::exception& e) {
    return {"internal error", "", e.what()};
  }
}

}  // namespace

ProbeAnswer run_probe(const ProbeTask& job, Clock& clock,
                      ProbeProgress& progress, TransportMaker make_transport) {
  const Clock::TimePoint start = clock.now();
  RunEnd end;
  end.started = clock.wall_time();
  RunSettings settings;
  const WipedOnExit wiped(settings.password);
  fix_settings(job, settings);
  end.controller = settings.controller_ip;
  end.check_dir = settings.config_dir;

  ProbeAnswer answer;
  Output trace(-1);
  trace.set_text_limit(kMaxTrace);
  Output metrics(-1);
  const std::unique_ptr<RunEndWriter> metrics_writer =
      make_scrape_metrics_report(metrics);
  FailureNotes notes(progress, answer.failures);
  ForwardingReport writers({metrics_writer.get(), &notes});
  SuiteTally tally;
  std::optional<ProbeFailure> ended;
  // The session the probe went on in after its kept one was refused.
  std::string renewed_id;
  const WipedOnExit wiped_renewed(renewed_id);
  try {
    Cancellation deadline(
        clock, job.deadline,
        "the probe's deadline of " + seconds_text(job.budget) + " s passed");
    const std::unique_ptr<Transport> inner =
        make_transport(transport_options(job, deadline), clock);
    ProbeTransport transport(*inner, clock, job.deadline, job.budget,
                             progress.stop, job.debug ? &trace : nullptr);
    const std::optional<KeptSessions> kept =
        kept_sessions(job, deadline, progress);
    SessionTransport sessions(
        transport,
        [&job](bool accepted) {
          if (job.metrics) job.metrics->login_ended(job.auth->name, accepted);
        },
        kept ? &*kept : nullptr);
    try {
      if (!job.module->login_per_check)
        settings.session = sessions.open_session(settings);
      end.checks = job.module->only.empty() ? list_checks(settings.config_dir)
                                            : job.module->only;
      Suite suite{settings, sessions, writers, clock, trace};
      suite.keep_going = true;
      suite.cancellation = &deadline;
      suite.expect = job.module->expect;
      run_checks(suite, end.checks, tally);
    } catch (...) {
      end.requests = transport.requests();
      end.reply_bytes = transport.reply_bytes();
      renewed_id = sessions.renewed_id();
      throw;
    }
    end.requests = transport.requests();
    end.reply_bytes = transport.reply_bytes();
    renewed_id = sessions.renewed_id();
  } catch (...) {
    ended = failure_in_flight();
    if (!notes.last_ended_run()) answer.failures.push_back(*ended);
  }
  answer.duration = clock.now() - start;
  answer.success = !ended && tally.failed.empty();
  end.duration = answer.duration;
  end.exit_status = ended ? 1 : tally.exit_status();
  if (ended) end.failure = RunFailure{ended->kind, ended->message};
  metrics_writer->run_ended(end);
  answer.series = metrics.take_text();

  // The session ids and the password, wherever a message might hold them.
  const std::string_view cid =
      settings.session ? session_text(*settings.session) : std::string_view();
  const Scrubber scrubber{settings.password, cid, renewed_id};
  for (ProbeFailure& f : answer.failures) f.message = scrubber.scrub(f.message);
  if (job.debug) {
    if (ended) trace.write(error_line(ended->kind, ended->message));
    answer.trace = scrubber.scrub(trace.take_text());
  }
  return answer;
}

}  // namespace tarnwick
