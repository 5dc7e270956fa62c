// The exporter's command line, in the flag style of the Prometheus
// exporters: "--name=value" or "--name value", exact names only.
#ifndef TARNWICK_EXPORTER_EXPORTER_FLAGS_H_
#define TARNWICK_EXPORTER_EXPORTER_FLAGS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarnwick/exporter/logfmt.h"

namespace tarnwick {

// The port the exporter listens on unless told otherwise. Prometheus's
// list of exporters' default ports (9100-9999) is full; this one is outside
// it and below the system's ephemeral ports. Update the manual
// (docs/tarnwick_exporter.md), the example configuration and the unit if
// you change it.
inline constexpr std::uint16_t kDefaultPort = 10291;

struct ExporterFlags {
  enum class Outcome { kRun, kHelp, kVersion, kError };
  Outcome outcome = Outcome::kRun;
  std::string error;  // for kError

  std::string config_file = "tarnwick_exporter.yml";
  // --web.config.file: TLS and basic authentication; "" for none.
  std::string web_config_file;
  // --web.listen-address, split: an IP address ("" for every address).
  std::string listen_host = "127.0.0.1";
  std::uint16_t listen_port = kDefaultPort;
  bool enable_lifecycle = false;
  std::size_t max_in_flight = 32;
  std::chrono::milliseconds timeout_offset{500};
  bool config_check = false;
  LogLevel log_level = LogLevel::kInfo;
};

// Parses the arguments after the program name. Never throws: a bad command
// line is Outcome::kError with a one-line message.
ExporterFlags parse_exporter_flags(const std::vector<std::string>& args);

// The help text (flags and their defaults) for program.
std::string exporter_help(const std::string& program);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_EXPORTER_FLAGS_H_
