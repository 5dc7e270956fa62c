#include "tarnwick/app/traced_transport.h"

#include <chrono>
#include <exception>

#include "tarnwick/app/failure_report.h"
#include "tarnwick/app/interruption.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
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

// Clears the interruption context however the request ends.
class ContextWhileWaiting {
 public:
  explicit ContextWhileWaiting(const Request& request) {
    std::string context = " while waiting for " + quote_text(request.url);
    if (!request.check.empty()) context += " (in " + request.check + ")";
    set_interruption_context(escape_control_characters(context));
  }
  ContextWhileWaiting(const ContextWhileWaiting&) = delete;
  ContextWhileWaiting& operator=(const ContextWhileWaiting&) = delete;
  ~ContextWhileWaiting() { set_interruption_context(""); }
};

}  // namespace

std::string trace_line(const Request& request, const Reply* reply,
                       Clock::Duration elapsed, const char* failure_kind) {
  std::string line = "[tarnwick] ";
  if (!request.check.empty()) line += request.check + ": ";
  line += request.action.empty() ? "(no action)" : request.action;
  if (!request.element.empty()) line += " " + request.element;
  if (reply != nullptr) {
    line += ": HTTP " + std::to_string(reply->status) + ", " +
            std::to_string(reply->bytes) + " bytes, " + seconds_of(elapsed);
    if (request.reuse_connection)
      line += reply->reused_connection ? ", reused" : ", new connection";
  } else {
    line += std::string(": failed after ") + seconds_of(elapsed) + ": " +
            failure_kind;
  }
  return escape_control_characters(line) + "\n";
}

Reply TracedTransport::post(const Request& request) {
  out_.flush();
  ContextWhileWaiting context(request);
  const Clock::TimePoint start = clock_.now();
  if (traffic_ != nullptr) ++traffic_->requests;
  Reply reply;
  try {
    reply = inner_.post(request);
  } catch (const Error& e) {
    if (trace_ != nullptr) {
      write_line_quietly(*trace_,
                         trace_line(request, nullptr, clock_.now() - start,
                                    error_kind_name(e.kind())));
    }
    throw;
  }
  if (traffic_ != nullptr) traffic_->reply_bytes += reply.bytes;
  if (trace_ != nullptr) {
    write_line_quietly(*trace_,
                       trace_line(request, &reply, reply.elapsed, nullptr));
  }
  return reply;
}

}  // namespace tarnwick
