// A comparison with an earlier run, once, in a fresh process, for its time
// and peak memory:
//
//     compare_peak [ELEMENTS [reversed]]
//
// builds a result {"results": [...]} of ELEMENTS gateway maps (default
// 1,000,000) keyed by "name", writes it as the earlier run's --json line to a
// temporary file, then reads that file as a baseline (first pass: every
// line checked; second pass: the line decoded), decodes the same result with
// one value changed as this run's (its elements in reverse order with
// "reversed", so that they are matched through the hashed keys), and compares
// the two with `key = name` and `ignore = uptime`. Prints one JSON line:
//   {"elements", "order", "bytes", "first_pass_seconds",
//    "second_pass_seconds",
//    "decode_seconds", "compare_seconds", "changes",
//    "rss_before_compare_kb", "max_rss_kb"}
// max_rss_kb is the peak of the whole process (VmHWM); the difference to
// rss_before_compare_kb is what the comparison itself takes.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/compare/baseline.h"
#include "tarnwick/compare/compare_rules.h"
#include "tarnwick/compare/diff.h"
#include "tarnwick/json/json.h"

namespace {

long status_kb(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::stol(line.substr(field.size()));
  }
  return 0;
}

// A gateway map of about 130 bytes; the element `changed` is down.
std::string result_text(long elements, long changed, bool reversed) {
  std::string s = "{\"results\": [";
  char buf[256];
  for (long k = 0; k < elements; ++k) {
    const long i = reversed ? elements - 1 - k : k;
    const int n = std::snprintf(
        buf, sizeof buf,
        "%s{\"name\": \"gw-%07ld\", \"state\": \"%s\", \"uptime\": %ld, "
        "\"sessions\": %ld, \"load\": %ld.%02ld, \"version\": \"7.4.%ld\"}",
        k > 0 ? ", " : "", i, i == changed ? "down" : "up", i * 37 % 100000,
        i % 250, i % 10, i % 100, i % 20);
    s.append(buf, static_cast<std::size_t>(n));
  }
  s += "]}";
  return s;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnwick;
  const long elements = argc > 1 ? std::atol(argv[1]) : 1000000;
  const bool reversed = argc > 2 && std::string_view(argv[2]) == "reversed";
  if (argc > 3 || (argc > 2 && !reversed) || elements <= 0) {
    std::fprintf(stderr, "usage: compare_peak [ELEMENTS [reversed]]\n");
    return 2;
  }
  char path[] = "/tmp/compare_peak.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    std::perror("compare_peak: mkstemp");
    return 1;
  }
  close(fd);
  try {
    std::size_t bytes = 0;
    {
      std::string line = "{\"check\": \"gateways.cfg\", \"result\": " +
                         result_text(elements, -1, false) + "}\n";
      bytes = line.size();
      std::ofstream(path, std::ios::binary) << line;
    }
    CompareRules rules = read_compare_rules(
        CheckFile::parse("bench.cfg",
                         "[compare]\nkey = name\nignore = uptime\n"),
        "bench.cfg");

    Clock::time_point start = Clock::now();
    Baseline baseline = Baseline::open(path);
    const double first_pass = seconds_since(start);
    start = Clock::now();
    std::optional<EarlierRun> earlier = baseline.find("gateways.cfg", 0);
    const double second_pass = seconds_since(start);

    std::string body = result_text(elements, elements / 2, reversed);
    start = Clock::now();
    Value now = decode_json(std::move(body));
    const double decode = seconds_since(start);

    const long rss_before = status_kb("VmRSS:");
    start = Clock::now();
    Comparison c = compare_results(*earlier->result, now.node(), rules);
    const double compare = seconds_since(start);
    std::printf(
        "{\"elements\": %ld, \"order\": \"%s\", \"bytes\": %zu, "
        "\"first_pass_seconds\": %.3f, \"second_pass_seconds\": %.3f, "
        "\"decode_seconds\": %.3f, \"compare_seconds\": %.3f, "
        "\"changes\": %zu, \"rss_before_compare_kb\": %ld, "
        "\"max_rss_kb\": %ld}\n",
        elements, reversed ? "reversed" : "same", bytes, first_pass,
        second_pass, decode, compare, c.changes.size() + c.more_changes,
        rss_before, status_kb("VmHWM:"));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "compare_peak: %s\n", e.what());
    unlink(path);
    return 1;
  }
  unlink(path);
  return 0;
}
