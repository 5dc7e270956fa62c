// What a probe answers: its result as the Prometheus text format, or for a
// debug probe as its trace.
#ifndef TARNWICK_EXPORTER_PROBE_ANSWER_H_
#define TARNWICK_EXPORTER_PROBE_ANSWER_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/clock.h"

namespace tarnwick {

// What failed in a probe: the error kind as the error line names it
// ("login failed", "timeout") and the check it failed in ("" for none).
struct ProbeFailure {
  std::string kind;
  std::string check;
  std::string message;  // the secrets taken out

  bool operator==(const ProbeFailure&) const = default;
};

struct ProbeAnswer {
  // The login succeeded and no check failed.
  bool success = false;
  Clock::Duration duration{};
  // What failed, in the order it failed.
  std::vector<ProbeFailure> failures;
  // The series of the checks and of the run, whole families.
  std::string series;
  // A debug probe's trace lines and error lines, the secrets taken out.
  std::string trace;
};

// The answer in the Prometheus text format: probe_success,
// probe_duration_seconds, tarnwick_probe_cached (1 for an earlier probe's
// answer given again), tarnwick_probe_failure_info{kind,check} 1 for each
// failure (none twice), then the series.
std::string probe_metrics_text(const ProbeAnswer& answer, bool cached);

// A debug probe's answer: its trace, an empty line, then the metrics.
std::string probe_debug_text(const ProbeAnswer& answer);

// The answer of a scrape whose deadline came before the probe's end, after
// `elapsed`, the probe being at `check` ("" before the first).
ProbeAnswer deadline_answer(Clock::Duration elapsed, std::string_view check);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_PROBE_ANSWER_H_
