// A comparison with an earlier run, once, in a fresh process, for its time
// and peak memory:
//
//     compare_peak [ELEMENTS [reversed]]
//     compare_peak --reply FILE
//
// builds a result {"results": [...]} of ELEMENTS gateway maps (default
// 1,000,000) keyed by "name", writes it as the earlier run's --json line to a
// temporary file, then reads that file as a baseline (first pass: every
// line checked; second pass: the line decoded), decodes the same result with
// one value changed as this run's (its elements in reverse order with
// "reversed", so that they are matched through the hashed keys), and compares
// the two with `key = name` and `ignore = uptime`. With --reply, the reply
// FILE (generate_reply.py's) is both runs' result, a letter of one "state"
// in its second half changed in this run's. Prints one JSON line:
//   {"input", "bytes" (of this run's result), "first_pass_seconds",
//    "second_pass_seconds",
//    "decode_seconds", "compare_seconds", "changes",
//    "rss_before_compare_kb", "max_rss_kb"}
// max_rss_kb is the peak of the whole process (VmHWM); the difference to
// rss_before_compare_kb is what the comparison itself takes.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bench/report_stages.h"
#include "tarnwick/base/output.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/compare/baseline.h"
#include "tarnwick/compare/compare_rules.h"
#include "tarnwick/compare/diff.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/json_writer.h"

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

// The earlier run's file, with `result` as its one line, written through
// an Output as the --json report writes it.
void write_earlier_run(const char* path, const tarnwick::Node& result) {
  const int fd = open(path, O_WRONLY | O_TRUNC);
  if (fd < 0) throw std::runtime_error(std::string("cannot write ") + path);
  {
    tarnwick::Output out(fd);
    out.write("{\"check\": \"gateways.cfg\", \"result\": ");
    tarnwick::write_json(result, out);
    out.write("}\n");
    out.flush();
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnwick;
  const bool from_reply = argc == 3 && std::string_view(argv[1]) == "--reply";
  const long elements = argc > 1 && !from_reply ? std::atol(argv[1]) : 1000000;
  const bool reversed =
      !from_reply && argc > 2 && std::string_view(argv[2]) == "reversed";
  if (!from_reply && (argc > 3 || (argc > 2 && !reversed) || elements <= 0)) {
    std::fprintf(stderr,
                 "usage: compare_peak [ELEMENTS [reversed]] | --reply FILE\n");
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
    std::string body;
    if (from_reply) {
      body = bench::read_reply_file(argv[2]);
      write_earlier_run(path, decode_json(body).node());
      // One value changed: a letter of the state of an element halfway.
      const std::size_t state = body.find("\"state\": \"", body.size() / 2);
      if (state == std::string::npos) {
        throw std::runtime_error("no \"state\" in the second half");
      }
      body[state + 10] = body[state + 10] == 'X' ? 'Y' : 'X';
    } else {
      write_earlier_run(path,
                        decode_json(result_text(elements, -1, false)).node());
      body = result_text(elements, elements / 2, reversed);
    }
    const std::size_t bytes = body.size();
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

    start = Clock::now();
    Value now = decode_json(std::move(body));
    const double decode = seconds_since(start);

    const long rss_before = status_kb("VmRSS:");
    start = Clock::now();
    Comparison c = compare_results(*earlier->result, now.node(), rules);
    const double compare = seconds_since(start);
    std::printf(
        "{\"input\": \"%s\", \"bytes\": %zu, "
        "\"first_pass_seconds\": %.3f, \"second_pass_seconds\": %.3f, "
        "\"decode_seconds\": %.3f, \"compare_seconds\": %.3f, "
        "\"changes\": %zu, \"rss_before_compare_kb\": %ld, "
        "\"max_rss_kb\": %ld}\n",
        from_reply ? argv[2]
                   : (std::to_string(elements) +
                      (reversed ? " maps, reversed" : " maps"))
                         .c_str(),
        bytes, first_pass, second_pass, decode, compare,
        c.changes.size() + c.more_changes, rss_before, status_kb("VmHWM:"));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "compare_peak: %s\n", e.what());
    unlink(path);
    return 1;
  }
  unlink(path);
  return 0;
}
