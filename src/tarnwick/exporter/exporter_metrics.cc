#include "tarnwick/exporter/exporter_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "tarnwick/report/metrics_report.h"
#include "tarnwick/report/run_end.h"
#include "tarnwick/wire/curl_transport.h"

namespace tarnwick {

namespace {

void family(std::string& out, std::string_view name, std::string_view type,
            std::string_view help) {
  out += "# HELP " + std::string(name) + " " + std::string(help) + "\n# TYPE " +
         std::string(name) + " " + std::string(type) + "\n";
}

std::string label(std::string_view name, std::string_view value) {
  return std::string(name) + "=\"" + label_value(value) + "\"";
}

// The fields of /proc/self/stat after the command's name, which may hold
// blanks and parentheses of its own.
std::vector<std::string> stat_fields() {
  std::ifstream in("/proc/self/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  const std::size_t close = text.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos) return fields;
  std::istringstream rest(text.substr(close + 1));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

std::uint64_t number(const std::vector<std::string>& fields, std::size_t at) {
  std::uint64_t n = 0;
  if (at < fields.size())
    std::from_chars(fields[at].data(), fields[at].data() + fields[at].size(),
                    n);
  return n;
}

// The version of libcurl alone: "7.88.1".
std::string curl_version() {
  const std::string versions = http_library_versions();
  const std::size_t start = versions.find(' ') + 1;
  return versions.substr(start, versions.find('\n') - start);
}

}  // namespace

ProcessStats read_process_stats() {
  ProcessStats stats;
  // After the name: state is field 3, utime 14, stime 15, vsize 23, rss 24.
  const std::vector<std::string> fields = stat_fields();
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  if (ticks > 0)
    stats.cpu_seconds =
        static_cast<double>(number(fields, 11) + number(fields, 12)) / ticks;
  stats.virtual_bytes = number(fields, 20);
  stats.resident_bytes =
      number(fields, 21) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++stats.open_fds;
    }
    closedir(dir);
    if (stats.open_fds > 0) --stats.open_fds;  // the listing's own
  }
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) stats.max_fds = limit.rlim_cur;
  return stats;
}

void ExporterMetrics::probe_ended(const std::string& module, bool success) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++probes_[{module, success ? "success" : "failure"}];
}

void ExporterMetrics::answer_shared(const std::string& module, bool cached) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++shared_[{module, cached ? "cached" : "joined"}];
}

void ExporterMetrics::refused(std::string_view reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++refusals_[std::string(reason)];
}

void ExporterMetrics::login_ended(const std::string& auth, bool success) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++logins_[{auth, success ? "success" : "failure"}];
}

void ExporterMetrics::config_read(bool good, Clock::WallTime when) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_good_ = good;
  if (good) config_success_ = when;
}

std::string ExporterMetrics::text(std::size_t in_flight,
                                  const ProcessStats& process) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  family(out, "tarnwick_exporter_probes_total", "counter",
         "Probes run, by module and result.");
  for (const auto& [key, n] : probes_) {
    out += "tarnwick_exporter_probes_total{" + label("module", key.first) +
           "," + label("result", key.second) + "} " + std::to_string(n) + "\n";
  }
  family(out, "tarnwick_exporter_shared_answers_total", "counter",
         "Scrapes answered by a probe another scrape started (joined) or by "
         "an earlier probe's answer within min_interval (cached).");
  for (const auto& [key, n] : shared_) {
    out += "tarnwick_exporter_shared_answers_total{" +
           label("module", key.first) + "," + label("how", key.second) + "} " +
           std::to_string(n) + "\n";
  }
  family(out, "tarnwick_exporter_probes_in_flight", "gauge",
         "Probes running now.");
  out +=
      "tarnwick_exporter_probes_in_flight " + std::to_string(in_flight) + "\n";
  family(out, "tarnwick_exporter_refusals_total", "counter",
         "Scrapes of /probe refused, by reason.");
  for (std::string_view reason :
       {kRefusedBadRequest, kRefusedTarget, kRefusedBusy}) {
    const auto found = refusals_.find(reason);
    out += "tarnwick_exporter_refusals_total{" + label("reason", reason) +
           "} " + std::to_string(found == refusals_.end() ? 0 : found->second) +
           "\n";
  }
  family(out, "tarnwick_exporter_logins_total", "counter",
         "Logins sent to controllers, by auth and result.");
  for (const auto& [key, n] : logins_) {
    out += "tarnwick_exporter_logins_total{" + label("auth", key.first) + "," +
           label("result", key.second) + "} " + std::to_string(n) + "\n";
  }
  family(out, "tarnwick_exporter_build_info", "gauge",
         "The exporter's version and that of libcurl, always 1.");
  out += "tarnwick_exporter_build_info{" + label("version", TARNWICK_VERSION) +
         "," + label("libcurl", curl_version()) + "} 1\n";
  family(out, "tarnwick_exporter_config_last_reload_successful", "gauge",
         "Whether the configuration was last read well.");
  out += std::string("tarnwick_exporter_config_last_reload_successful ") +
         (config_good_ ? "1" : "0") + "\n";
  family(out, "tarnwick_exporter_config_last_reload_success_timestamp_seconds",
         "gauge", "When the configuration was last read well.");
  out += "tarnwick_exporter_config_last_reload_success_timestamp_seconds " +
         seconds_text(config_success_.time_since_epoch()) + "\n";
  family(out, "process_cpu_seconds_total", "counter",
         "Total user and system CPU time spent in seconds.");
  out +=
      "process_cpu_seconds_total " + std::to_string(process.cpu_seconds) + "\n";
  family(out, "process_resident_memory_bytes", "gauge",
         "Resident memory size in bytes.");
  out += "process_resident_memory_bytes " +
         std::to_string(process.resident_bytes) + "\n";
  family(out, "process_virtual_memory_bytes", "gauge",
         "Virtual memory size in bytes.");
  out += "process_virtual_memory_bytes " +
         std::to_string(process.virtual_bytes) + "\n";
  family(out, "process_open_fds", "gauge", "Number of open file descriptors.");
  out += "process_open_fds " + std::to_string(process.open_fds) + "\n";
  family(out, "process_max_fds", "gauge",
         "Maximum number of open file descriptors.");
  out += "process_max_fds " + std::to_string(process.max_fds) + "\n";
  family(out, "process_start_time_seconds", "gauge",
         "Start time of the process since unix epoch in seconds.");
  out += "process_start_time_seconds " +
         seconds_text(started_.time_since_epoch()) + "\n";
  return out;
}

}  // namespace tarnwick
