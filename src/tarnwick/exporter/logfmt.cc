#include "tarnwick/exporter/logfmt.h"

#include <time.h>

#include <chrono>
#include <cstdio>

#include "tarnwick/base/error_line.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

// "2024-05-01T12:00:00.123Z".
std::string timestamp(Clock::WallTime now) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      now.time_since_epoch())
                      .count();
  const time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
  return text;
}

}  // namespace

std::string_view log_level_name(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return "debug";
    case LogLevel::kInfo:
      return "info";
    case LogLevel::kWarn:
      return "warn";
    case LogLevel::kError:
      return "error";
  }
  return "info";
}

std::optional<LogLevel> parse_log_level(std::string_view name) {
  for (LogLevel level :
       {LogLevel::kDebug, LogLevel::kInfo, LogLevel::kWarn, LogLevel::kError}) {
    if (name == log_level_name(level)) return level;
  }
  return std::nullopt;
}

std::string logfmt_value(std::string_view value) {
  std::string quoted;
  quoted.reserve(value.size());
  bool bare = !value.empty();
  for (char c : value) {
    if (c == ' ' || c == '=' || c == '"' || c == '\\') bare = false;
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  // Control characters and bytes that are not UTF-8 become escapes.
  std::string escaped = escape_control_characters(quoted);
  if (bare && escaped == value) return escaped;
  return "\"" + escaped + "\"";
}

void Logger::log(LogLevel level, std::string_view message, Fields fields) {
  if (!enabled(level)) return;
  std::string line = "ts=" + timestamp(clock_.wall_time()) +
                     " level=" + std::string(log_level_name(level)) +
                     " msg=" + logfmt_value(message);
  for (const auto& [key, value] : fields) {
    line += ' ';
    line += key;
    line += '=';
    line += logfmt_value(value);
  }
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  write_line_quietly(out_, line);
}

}  // namespace tarnwick
