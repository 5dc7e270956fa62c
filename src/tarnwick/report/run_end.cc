#include "tarnwick/report/run_end.h"

#include <chrono>

namespace tarnwick {

std::string seconds_text(Clock::Duration d) {
  const auto ms = std::chrono::round<std::chrono::milliseconds>(d).count();
  if (ms < 0) return "0.000";
  return std::to_string(ms / 1000) + "." +
         std::to_string(1000 + ms % 1000).substr(1);
}

}  // namespace tarnwick
