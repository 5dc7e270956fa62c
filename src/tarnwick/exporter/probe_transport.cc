#include "tarnwick/exporter/probe_transport.h"

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "tarnwick/base/error.h"
#include "tarnwick/base/error_line.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/report/run_end.h"
#include "tarnwick/wire/curl_transport.h"
#include "tarnwick/wire/trace_line.h"

namespace tarnwick {

std::unique_ptr<Transport> make_controller_transport(
    const TransportOptions& options, Clock& clock) {
  return std::make_unique<CurlTransport>(clock, options);
}

// A batch whose requests are bounded, counted and traced as post's are.
class ProbeTransport::Batch : public RequestBatch {
 public:
  Batch(RequestBatch& inner, ProbeTransport& transport)
      : inner_(inner), transport_(transport) {}

  std::size_t wanted() override { return inner_.wanted(); }

  Request request(std::size_t index) override {
    Request request = inner_.request(index);
    transport_.bounded(request);
    Sent& sent = sent_[index];
    sent.request.url = request.url;
    sent.request.check = request.check;
    sent.request.action = request.action;
    sent.request.element = request.element;
    sent.start = transport_.clock_.now();
    return request;
  }

  void received(std::size_t index, Reply reply) override {
    transport_.reply_bytes_ += reply.bytes;
    if (auto sent = sent_.extract(index)) {
      transport_.traced(sent.mapped().request, &reply, reply.elapsed, nullptr);
    }
    inner_.received(index, std::move(reply));
  }

  void failed(std::size_t index, const Error& error) override {
    auto sent = sent_.extract(index);
    if (!sent) {  // refused before it was sent
      inner_.failed(index, error);
      return;
    }
    const Error e = transport_.after_deadline(error, sent.mapped().request.url);
    transport_.traced(sent.mapped().request, nullptr,
                      transport_.clock_.now() - sent.mapped().start, &e);
    inner_.failed(index, e);
  }

 private:
  struct Sent {
    Request request;  // all but the form
    Clock::TimePoint start;
  };

  RequestBatch& inner_;
  ProbeTransport& transport_;
  std::map<std::size_t, Sent> sent_;
};

Error ProbeTransport::deadline_passed(const std::string& url) const {
  return Error(ErrorKind::kTimeout,
               "the probe's deadline of " + seconds_text(budget_) +
                   " s passed while it waited for " + quote_text(url))
      .ending_the_run();
}

Error ProbeTransport::after_deadline(const Error& e, const std::string& url) {
  if (clock_.now() < deadline_) return e;
  return deadline_passed(url);
}

const Request& ProbeTransport::bounded(const Request& request) {
  if (stop_.load()) {
    throw Error(ErrorKind::kInterrupted,
                "the exporter is stopping; nothing more is sent to " +
                    quote_text(request.url));
  }
  const Clock::Duration left = deadline_ - clock_.now();
  if (left <= Clock::Duration::zero()) {
    throw Error(ErrorKind::kTimeout,
                "the probe's deadline of " + seconds_text(budget_) +
                    " s passed before a request to " + quote_text(request.url))
        .ending_the_run();
  }
  ++requests_;
  return request;
}

void ProbeTransport::traced(const Request& request, const Reply* reply,
                            Clock::Duration elapsed, const Error* error) {
  if (trace_ == nullptr) return;
  write_line_quietly(
      *trace_, trace_line(request, reply, elapsed,
                          error ? error_kind_name(error->kind()) : nullptr));
}

Reply ProbeTransport::post(const Request& request) {
  const Request& r = bounded(request);
  const Clock::TimePoint start = clock_.now();
  Reply reply;
  try {
    reply = inner_.post(r);
  } catch (const Error& error) {
    const Error e = after_deadline(error, r.url);
    traced(r, nullptr, clock_.now() - start, &e);
    throw e;
  }
  reply_bytes_ += reply.bytes;
  traced(r, &reply, reply.elapsed, nullptr);
  return reply;
}

void ProbeTransport::post_many(RequestBatch& batch, std::size_t in_flight) {
  if (in_flight <= 1) {
    Transport::post_many(batch, in_flight);
    return;
  }
  Batch bounded_batch(batch, *this);
  inner_.post_many(bounded_batch, in_flight);
}

}  // namespace tarnwick
