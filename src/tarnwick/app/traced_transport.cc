#include "tarnwick/app/traced_transport.h"

#include <chrono>
#include <cstddef>
#include <exception>
#include <map>
#include <string>
#include <utility>

#include "tarnwick/app/failure_report.h"
#include "tarnwick/app/interruption.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

// " while waiting for 'URL' (in CHECK)", for request; with_element, its
// element too ("(in CHECK, element 'gw-04')"); and " and 7 more requests"
// for `more` requests waited for besides it.
std::string waiting_context(const Request& request, bool with_element,
                            std::size_t more) {
  std::string context = " while waiting for " + quote_text(request.url);
  if (!request.check.empty()) {
    context += " (in " + request.check;
    if (with_element && !request.element.empty())
      context += ", element " + request.element;
    context += ")";
  }
  if (more > 0) {
    context += " and " + std::to_string(more) + " more request" +
               (more == 1 ? "" : "s");
  }
  return escape_control_characters(context);
}

// While it lives, requests wait: a signal cancels the run
// (InterruptionRoute), and what the run waits for is named, for the
// interruption that ends the process or the one that cancels the run.
class Waiting {
 public:
  explicit Waiting(std::string context) { name(std::move(context)); }
  Waiting(const Waiting&) = delete;
  Waiting& operator=(const Waiting&) = delete;
  ~Waiting() {
    note_requests_waiting(false);
    set_interruption_context("");
  }

  void name(std::string context) {
    context_ = std::move(context);
    set_interruption_context(context_);
    note_requests_waiting(true);
  }

  // The cancellation that ended the wait, with what was waited for.
  Cancelled named(const Cancelled& cancelled) const {
    return cancelled.with_context(context_);
  }

  // Throws the interruption that arrived while requests waited, should it
  // have come too late to end the wait: the run ends as though it had.
  void throw_if_interrupted() const {
    if (const int signal_number = routed_signal())
      throw named(interrupted_by(signal_number));
  }

 private:
  std::string context_;
};

// Writes the trace line of a request that ended, with a reply or an error.
void trace_ending(Output* trace, const Request& request, const Reply* reply,
                  Clock::Duration elapsed, const Error* error) {
  if (trace == nullptr) return;
  write_line_quietly(
      *trace, trace_line(request, reply, elapsed,
                         error ? error_kind_name(error->kind()) : nullptr));
}

// A batch as TracedTransport sends it: each request's trace line when it
// ends, and while it is sent requests wait, named by those in flight (the
// first by number, and how many more).
class TracedBatch : public RequestBatch {
 public:
  TracedBatch(RequestBatch& inner, Output* trace, Clock& clock,
              Traffic* traffic)
      : inner_(inner), trace_(trace), clock_(clock), traffic_(traffic) {}
  TracedBatch(const TracedBatch&) = delete;
  TracedBatch& operator=(const TracedBatch&) = delete;

  const Waiting& waiting() const { return waiting_; }

  std::size_t wanted() override {
    const std::size_t wanted = inner_.wanted();
    // Those at or above it are abandoned.
    const auto abandoned = in_flight_.lower_bound(wanted);
    if (abandoned != in_flight_.end()) {
      in_flight_.erase(abandoned, in_flight_.end());
      name_waiting();
    }
    return wanted;
  }

  Request request(std::size_t index) override {
    Request request = inner_.request(index);
    Sent& sent = in_flight_[index];
    // All but the form, which a trace never shows.
    sent.request.url = request.url;
    sent.request.check = request.check;
    sent.request.action = request.action;
    sent.request.element = request.element;
    sent.start = clock_.now();
    if (traffic_ != nullptr) ++traffic_->requests;
    name_waiting();
    return request;
  }

  void received(std::size_t index, Reply reply) override {
    if (traffic_ != nullptr) traffic_->reply_bytes += reply.bytes;
    if (auto sent = in_flight_.extract(index)) {
      name_waiting();
      trace_ending(trace_, sent.mapped().request, &reply, reply.elapsed,
                   nullptr);
    }
    inner_.received(index, std::move(reply));
  }

  void failed(std::size_t index, const Error& error) override {
    // A request that failed before it was sent has no trace line.
    if (auto sent = in_flight_.extract(index)) {
      name_waiting();
      trace_ending(trace_, sent.mapped().request, nullptr,
                   clock_.now() - sent.mapped().start, &error);
    }
    inner_.failed(index, error);
  }

 private:
  struct Sent {
    Request request;
    Clock::TimePoint start;
  };

  void name_waiting() {
    if (in_flight_.empty()) {
      waiting_.name("");
      return;
    }
    waiting_.name(waiting_context(in_flight_.begin()->second.request, true,
                                  in_flight_.size() - 1));
  }

  RequestBatch& inner_;
  Output* trace_;
  Clock& clock_;
  Traffic* traffic_;
  std::map<std::size_t, Sent> in_flight_;
  Waiting waiting_{""};
};

}  // namespace

Reply TracedTransport::post(const Request& request) {
  out_.flush();
  const Clock::TimePoint start = clock_.now();
  if (traffic_ != nullptr) ++traffic_->requests;
  Reply reply;
  {
    const Waiting waiting(waiting_context(request, false, 0));
    try {
      reply = inner_.post(request);
    } catch (const Cancelled& cancelled) {
      // Without a trace line: the run ends as the process would.
      throw waiting.named(cancelled);
    } catch (const Error& e) {
      waiting.throw_if_interrupted();
      trace_ending(trace_, request, nullptr, clock_.now() - start, &e);
      throw;
    }
    waiting.throw_if_interrupted();
  }
  if (traffic_ != nullptr) traffic_->reply_bytes += reply.bytes;
  trace_ending(trace_, request, &reply, reply.elapsed, nullptr);
  return reply;
}

void TracedTransport::post_many(RequestBatch& batch, std::size_t in_flight) {
  // One at a time, each request is traced as post traces it.
  if (in_flight <= 1) {
    Transport::post_many(batch, in_flight);
    return;
  }
  out_.flush();
  TracedBatch traced(batch, trace_, clock_, traffic_);
  try {
    inner_.post_many(traced, in_flight);
  } catch (const Cancelled& cancelled) {
    throw traced.waiting().named(cancelled);
  }
  traced.waiting().throw_if_interrupted();
}

}  // namespace tarnwick
