// The exporter's own metrics (GET /metrics): its probes, refusals and
// reloads, and the process metrics every exporter has.
#ifndef TARNWICK_EXPORTER_EXPORTER_METRICS_H_
#define TARNWICK_EXPORTER_EXPORTER_METRICS_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "tarnwick/base/clock.h"

namespace tarnwick {

// Why a scrape of /probe was refused, as the label reason names it.
inline constexpr std::string_view kRefusedBadRequest = "bad_request";     // 400
inline constexpr std::string_view kRefusedTarget = "target_not_allowed";  // 403
inline constexpr std::string_view kRefusedBusy = "max_in_flight";         // 503

// What the process uses, from /proc/self.
struct ProcessStats {
  double cpu_seconds = 0;
  std::uint64_t resident_bytes = 0;
  std::uint64_t virtual_bytes = 0;
  std::size_t open_fds = 0;
  std::uint64_t max_fds = 0;
};

// Reads them; what cannot be read stays 0.
ProcessStats read_process_stats();

// Counters and gauges, from any thread.
class ExporterMetrics {
 public:
  // started: when the process started, for process_start_time_seconds.
  explicit ExporterMetrics(Clock::WallTime started) : started_(started) {}

  // A probe of module ended, successful or not.
  void probe_ended(const std::string& module, bool success);
  // A scrape of module got the answer of a run it joined, or of an earlier
  // run again.
  void answer_shared(const std::string& module, bool cached);
  void refused(std::string_view reason);
  // A login with auth was sent: the controller accepted it, or not.
  void login_ended(const std::string& auth, bool success);
  // The configuration was read at `when`, well or not.
  void config_read(bool good, Clock::WallTime when);

  // The Prometheus text: tarnwick_exporter_probes_total{module,result},
  // tarnwick_exporter_shared_answers_total{module,how},
  // tarnwick_exporter_probes_in_flight, tarnwick_exporter_refusals_total
  // {reason}, tarnwick_exporter_logins_total{auth,result},
  // tarnwick_exporter_build_info{version}, tarnwick_exporter_
  // config_last_reload_successful and _success_timestamp_seconds, and the
  // process_* families.
  std::string text(std::size_t in_flight, const ProcessStats& process) const;

 private:
  mutable std::mutex mutex_;
  const Clock::WallTime started_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> probes_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> shared_;
  std::map<std::string, std::uint64_t, std::less<>> refusals_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> logins_;
  bool config_good_ = false;
  Clock::WallTime config_success_{};
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_EXPORTER_METRICS_H_
