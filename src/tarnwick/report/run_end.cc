#include "tarnwick/report/run_end.h"

#include <time.h>

#include <chrono>

namespace tarnwick {

std::string utc_timestamp_text(Clock::WallTime t) {
  const time_t seconds = std::chrono::system_clock::to_time_t(t);
  struct tm utc;
  char text[32] = "";
  if (gmtime_r(&seconds, &utc) != nullptr)
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

std::string seconds_text(Clock::Duration d) {
  const auto ms = std::chrono::round<std::chrono::milliseconds>(d).count();
  if (ms < 0) return "0.000";
  return std::to_string(ms / 1000) + "." +
         std::to_string(1000 + ms % 1000).substr(1);
}

}  // namespace tarnwick
