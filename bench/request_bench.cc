// Fresh-connection requests in one process: tarnwick's Transport against a
// bare libcurl loop sending the same POST to the same stand-in controller.
//
//     TARNWICK_BENCH_URL=https://127.0.0.1:PORT/v1/api request_bench [flags]
//
// TARNWICK_BENCH_FORM is the form posted (default "action=bench_small").
// Each iteration is one request on a new connection; time is wall time.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "tarnwick/base/clock.h"
#include "tarnwick/wire/curl_transport.h"

namespace {

std::string env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::size_t append_body(char* data, std::size_t size, std::size_t count,
                        void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// What a short libcurl program does: a new easy handle per request, the
// certificate not verified, the body collected.
std::string bare_post(const std::string& url, const std::string& form,
                      bool skip_ca_store) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) throw std::runtime_error("curl_easy_init failed");
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(form.size()));
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.data());
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  if (skip_ca_store) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  CURLcode code = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
  return body;
}

void transport_requests(benchmark::State& state, const std::string& url,
                        const std::string& form) {
  tarnwick::SteadyClock clock;
  tarnwick::CurlTransport transport(clock);
  tarnwick::Request request;
  request.url = url;
  request.form = form;
  for (auto _ : state) benchmark::DoNotOptimize(transport.post(request));
}

void bare_requests(benchmark::State& state, const std::string& url,
                   const std::string& form, bool skip_ca_store) {
  for (auto _ : state)
    benchmark::DoNotOptimize(bare_post(url, form, skip_ca_store));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::string url = env_or("TARNWICK_BENCH_URL", "");
  const std::string form = env_or("TARNWICK_BENCH_FORM", "action=bench_small");
  if (url.empty() || argc != 1) {
    std::fprintf(stderr,
                 "usage: TARNWICK_BENCH_URL=https://HOST:PORT/v1/api "
                 "request_bench [benchmark flags]\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const int requests =
      std::atoi(env_or("TARNWICK_BENCH_REQUESTS", "100").c_str());
  auto add = [requests](const char* name, auto fn) {
    benchmark::RegisterBenchmark(name, fn)
        ->Iterations(requests > 0 ? requests : 100)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  };
  add("request_transport",
      [&](benchmark::State& s) { transport_requests(s, url, form); });
  add("request_bare_libcurl",
      [&](benchmark::State& s) { bare_requests(s, url, form, false); });
  add("request_bare_libcurl_no_ca_store",
      [&](benchmark::State& s) { bare_requests(s, url, form, true); });
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
