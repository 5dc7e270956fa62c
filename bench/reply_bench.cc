// The report path of one check, in process: decoding, filtering and printing
// a controller reply, or writing it as JSON, beside the floor (reading the
// bytes, a bare scan).
//
//     reply_bench [benchmark flags] REPLY...
//
// Every stage runs on every reply file named; throughput is in bytes of the
// reply per second. The report goes to /dev/null through the same Output the
// command uses.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "bench/floor_scan.h"
#include "bench/report_stages.h"
#include "tarnwick/base/output.h"
#include "tarnwick/filter/filter.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/json_writer.h"
#include "tarnwick/report/notation.h"

namespace tarnwick::bench {
namespace {

// Reads and scans as the floor does; the bytes come from the page cache.
void read_and_scan(benchmark::State& state, const std::string& path,
                   std::size_t size) {
  for (auto _ : state) {
    std::string bytes = read_reply_file(path);
    benchmark::DoNotOptimize(floor_scan(bytes));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void scan(benchmark::State& state, const std::string& bytes) {
  for (auto _ : state) benchmark::DoNotOptimize(floor_scan(bytes));
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * bytes.size()));
}

// A stage that takes the body by value, as the command hands it over; the
// copy it gets here is made outside the timing.
template <typename Stage>
void with_body(benchmark::State& state, const std::string& bytes, Stage stage) {
  for (auto _ : state) {
    state.PauseTiming();
    std::string body = bytes;
    state.ResumeTiming();
    stage(std::move(body));
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * bytes.size()));
}

void register_reply(const std::string& path, const std::string& bytes,
                    int null_fd) {
  std::string tag = "/";
  tag += size_tag(bytes.size());
  const std::size_t size = bytes.size();
  auto add = [](const std::string& name, auto fn) {
    benchmark::RegisterBenchmark(name.c_str(), fn)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  };
  add("floor_read_scan" + tag,
      [path, size](benchmark::State& s) { read_and_scan(s, path, size); });
  add("floor_scan" + tag, [&bytes](benchmark::State& s) { scan(s, bytes); });
  add("decode" + tag, [&bytes](benchmark::State& s) {
    with_body(s, bytes, [](std::string body) {
      benchmark::DoNotOptimize(decode_json(std::move(body)));
    });
  });
  add("decode_filtered" + tag, [&bytes](benchmark::State& s) {
    with_body(s, bytes, [](std::string body) {
      benchmark::DoNotOptimize(filter_reply(std::move(body), kBenchFilters));
    });
  });
  add("full_report" + tag, [&bytes, null_fd](benchmark::State& s) {
    with_body(s, bytes, [null_fd](std::string body) {
      full_report(std::move(body), null_fd);
    });
  });
  add("json_report" + tag, [&bytes, null_fd](benchmark::State& s) {
    with_body(s, bytes, [null_fd](std::string body) {
      json_report(std::move(body), null_fd);
    });
  });
  add("filtered_report" + tag, [&bytes, null_fd](benchmark::State& s) {
    with_body(s, bytes, [null_fd](std::string body) {
      filtered_report(std::move(body), null_fd);
    });
  });
  add("filtered_report_full_decode" + tag,
      [&bytes, null_fd](benchmark::State& s) {
        with_body(s, bytes, [null_fd](std::string body) {
          filtered_report_full_decode(std::move(body), null_fd);
        });
      });
  // The stages apart, on a reply decoded once.
  add("print_only" + tag, [&bytes, null_fd](benchmark::State& s) {
    Value reply = decode_json(bytes);
    for (auto _ : s) {
      Output out(null_fd);
      pp(reply.node(), out);
      out.flush();
    }
    s.SetBytesProcessed(static_cast<int64_t>(s.iterations() * bytes.size()));
  });
  add("filter_only" + tag, [&bytes](benchmark::State& s) {
    Value reply = decode_json(bytes);
    for (auto _ : s)
      benchmark::DoNotOptimize(filter_results(reply, kBenchFilters));
    s.SetBytesProcessed(static_cast<int64_t>(s.iterations() * bytes.size()));
  });
}

}  // namespace
}  // namespace tarnwick::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: reply_bench [benchmark flags] REPLY...\n");
    return 2;
  }
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd < 0) {
    std::perror("reply_bench: /dev/null");
    return 1;
  }
  // Kept for the whole run: the benchmarks refer to them.
  static std::vector<std::string> replies;
  replies.reserve(static_cast<std::size_t>(argc));
  try {
    for (int i = 1; i < argc; ++i)
      replies.push_back(tarnwick::bench::read_reply_file(argv[i]));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "reply_bench: %s\n", e.what());
    return 1;
  }
  for (int i = 1; i < argc; ++i) {
    tarnwick::bench::register_reply(
        argv[i], replies[static_cast<std::size_t>(i - 1)], null_fd);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  close(null_fd);
  return 0;
}
