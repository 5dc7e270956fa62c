// The report path of one check as the command runs it, for the benchmarks:
// the reply body in, the report block out.
#ifndef TARNWICK_BENCH_REPORT_STAGES_H_
#define TARNWICK_BENCH_REPORT_STAGES_H_

#include <cstddef>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/base/output.h"
#include "tarnwick/filter/filter.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/json_writer.h"
#include "tarnwick/report/notation.h"

namespace tarnwick::bench {

// The filter list of the filtered report: `filters = results, name & state`.
inline const std::vector<std::string> kBenchFilters = {"results",
                                                       "name & state"};

inline std::string read_reply_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  in.seekg(0, std::ios::end);
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    throw std::runtime_error("cannot read " + path);
  }
  return bytes;
}

// "1MB", "100MB", "1GB": the reply's size rounded to the nearest MB (10^6).
inline std::string size_tag(std::size_t bytes) {
  std::size_t mb = (bytes + 500000) / 1000000;
  if (mb >= 1000 && mb % 1000 == 0) return std::to_string(mb / 1000) + "GB";
  return std::to_string(mb) + "MB";
}

// The whole reply printed, as a check without filters reports it.
inline void full_report(std::string body, int fd) {
  Value reply = decode_json(std::move(body));
  Output out(fd);
  pp(reply.node(), out);
  out.flush();
}

// The whole reply written as one line of JSON, as a check without filters
// reports it in JSON output.
inline void json_report(std::string body, int fd) {
  Value reply = decode_json(std::move(body));
  Output out(fd);
  write_json(reply.node(), out);
  out.put('\n');
  out.flush();
}

// The reply filtered by kBenchFilters and printed, as the command does it:
// only what the filters reach is decoded.
inline void filtered_report(std::string body, int fd) {
  Value result = filter_reply(std::move(body), kBenchFilters);
  Output out(fd);
  pp(result.node(), out);
  out.flush();
}

// The same through the full decode, for comparison.
inline void filtered_report_full_decode(std::string body, int fd) {
  Value result = filter_results(decode_json(std::move(body)), kBenchFilters);
  Output out(fd);
  pp(result.node(), out);
  out.flush();
}

}  // namespace tarnwick::bench

#endif  // TARNWICK_BENCH_REPORT_STAGES_H_
