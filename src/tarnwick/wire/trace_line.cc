#include "tarnwick/wire/trace_line.h"

#include <chrono>

#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

// "0.012 s": milliseconds, as seconds.
std::string seconds_of(Clock::Duration elapsed) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  return std::to_string(ms / 1000) + "." +
         std::to_string(1000 + ms % 1000).substr(1) + " s";
}

}  // namespace

std::string trace_line(const Request& request, const Reply* reply,
                       Clock::Duration elapsed, const char* failure_kind) {
  std::string line = "[tarnwick] ";
  if (!request.check.empty()) line += request.check + ": ";
  line += request.action.empty() ? "(no action)" : request.action;
  if (!request.element.empty()) line += " " + request.element;
  if (reply != nullptr) {
    line += ": HTTP " + std::to_string(reply->status) + ", " +
            counted(reply->bytes, "byte") + ", " + seconds_of(elapsed);
    if (reply->connection == Reply::Connection::kReused) line += ", reused";
    if (reply->connection == Reply::Connection::kNew)
      line += ", new connection";
  } else {
    line += std::string(": failed after ") + seconds_of(elapsed) + ": " +
            failure_kind;
  }
  return escape_control_characters(line) + "\n";
}

}  // namespace tarnwick
