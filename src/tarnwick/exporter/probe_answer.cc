#include "tarnwick/exporter/probe_answer.h"

#include <set>

#include "tarnwick/report/metrics_report.h"
#include "tarnwick/report/run_end.h"

namespace tarnwick {

namespace {

void family(std::string& out, std::string_view name, std::string_view help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += " gauge\n";
}

}  // namespace

std::string probe_metrics_text(const ProbeAnswer& answer, bool cached) {
  std::string out;
  family(out, "probe_success",
         "Whether the probe succeeded: the login and every check ran.");
  out += answer.success ? "probe_success 1\n" : "probe_success 0\n";
  family(out, "probe_duration_seconds", "How long the probe took.");
  out += "probe_duration_seconds " + seconds_text(answer.duration) + "\n";
  family(out, "tarnwick_probe_cached",
         "Whether this is the answer of an earlier probe, given again within "
         "the module's min_interval.");
  out += cached ? "tarnwick_probe_cached 1\n" : "tarnwick_probe_cached 0\n";
  if (!answer.failures.empty()) {
    family(out, "tarnwick_probe_failure_info",
           "What failed in the probe: the kind of failure and the check.");
    std::set<std::pair<std::string, std::string>> shown;
    for (const ProbeFailure& f : answer.failures) {
      if (!shown.emplace(f.kind, f.check).second) continue;
      out += "tarnwick_probe_failure_info{kind=\"" + label_value(f.kind) +
             "\",check=\"" + label_value(f.check) + "\"} 1\n";
    }
  }
  out += answer.series;
  return out;
}

std::string probe_debug_text(const ProbeAnswer& answer) {
  std::string out = answer.trace;
  if (!out.empty()) out += "\n";
  return out + probe_metrics_text(answer, false);
}

ProbeAnswer deadline_answer(Clock::Duration elapsed, std::string_view check) {
  ProbeAnswer answer;
  answer.duration = elapsed;
  answer.failures.push_back(
      {"timeout", std::string(check),
       "the scrape's deadline passed before the probe ended"});
  return answer;
}

}  // namespace tarnwick
