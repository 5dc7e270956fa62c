// One stage of the report path, once, in a fresh process, for its peak
// memory (and its time, for the floor of the whole command):
//
//     reply_peak read|scan|decode|full|json|filtered REPLY
//
// prints {"stage", "bytes", "seconds", "max_rss_kb"} on one line. The report
// goes to /dev/null. Stages:
//   read      the reply file into memory
//   scan      read, then the bare scan of the floor
//   decode    read, then decode
//   full      read, decode, print (a check without filters)
//   json      read, decode, write as one line of JSON (the same, with --json)
//   filtered  read, decode, filter `results, name & state`, print
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>
#include <string_view>

#include "bench/floor_scan.h"
#include "bench/report_stages.h"
#include "tarnwick/json/json.h"

namespace {

// The peak resident set of this process image in KiB. VmHWM starts afresh at
// exec, unlike getrusage's maximum, which keeps what the parent had touched
// before it (a vfork()ing Python parent would count).
long peak_rss_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnwick::bench;
  if (argc != 3) {
    std::fprintf(
        stderr,
        "usage: reply_peak read|scan|decode|full|json|filtered REPLY\n");
    return 2;
  }
  const std::string_view stage = argv[1];
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd < 0) {
    std::perror("reply_peak: /dev/null");
    return 1;
  }
  std::size_t size = 0;
  const auto start = std::chrono::steady_clock::now();
  try {
    std::string body = read_reply_file(argv[2]);
    size = body.size();
    if (stage == "read") {
    } else if (stage == "scan") {
      if (!floor_scan(body).balanced)
        std::fprintf(stderr, "reply_peak: unbalanced reply\n");
    } else if (stage == "decode") {
      tarnwick::Value v = tarnwick::decode_json(std::move(body));
    } else if (stage == "full") {
      full_report(std::move(body), null_fd);
    } else if (stage == "json") {
      json_report(std::move(body), null_fd);
    } else if (stage == "filtered") {
      filtered_report(std::move(body), null_fd);
    } else {
      std::fprintf(stderr, "reply_peak: unknown stage '%s'\n", argv[1]);
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "reply_peak: %s\n", e.what());
    return 1;
  }
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - start;
  std::printf(
      "{\"stage\": \"%s\", \"bytes\": %zu, \"seconds\": %.6f, \"max_rss_kb\": "
      "%ld}\n",
      argv[1], size, took.count(), peak_rss_kb());
  return 0;
}
