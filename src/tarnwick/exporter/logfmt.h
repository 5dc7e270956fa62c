// The exporter's log: one logfmt line per event on standard error,
// "ts=2024-05-01T12:00:00.123Z level=info msg=\"probe failed\" target=...",
// from any thread.
#ifndef TARNWICK_EXPORTER_LOGFMT_H_
#define TARNWICK_EXPORTER_LOGFMT_H_

#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tarnwick/base/clock.h"
#include "tarnwick/base/output.h"

namespace tarnwick {

enum class LogLevel { kDebug, kInfo, kWarn, kError };

// "debug", "info", "warn", "error".
std::string_view log_level_name(LogLevel level);
std::optional<LogLevel> parse_log_level(std::string_view name);

// A value as logfmt writes it: bare when it is not empty and holds no
// blank, '=', '"' or control character; otherwise in double quotes with
// '"' and '\' escaped and control characters and bytes that are not UTF-8
// written as escapes.
std::string logfmt_value(std::string_view value);

class Logger {
 public:
  using Fields =
      std::initializer_list<std::pair<std::string_view, std::string_view>>;

  // Writes the lines of `level` and above to out. out and clock must
  // outlive the logger.
  Logger(Output& out, Clock& clock, LogLevel level)
      : out_(out), clock_(clock), level_(level) {}

  bool enabled(LogLevel level) const { return level >= level_; }

  // One line: ts, level, msg, then the fields in order. A line that cannot
  // be written is dropped.
  void log(LogLevel level, std::string_view message, Fields fields = {});

 private:
  std::mutex mutex_;
  Output& out_;
  Clock& clock_;
  const LogLevel level_;
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_LOGFMT_H_
