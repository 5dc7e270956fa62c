#include "tarnwick/app/traced_transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "fake_transport.h"
#include "tarnwick/base/error.h"

namespace tarnwick {
namespace {

Request request_for(std::string check, std::string action,
                    std::string element) {
  Request r;
  r.url = "https://ctl/v1/api";
  r.check = std::move(check);
  r.action = std::move(action);
  r.element = std::move(element);
  return r;
}

TEST(TraceLineTest, NamesCheckActionElementStatusSizeAndTime) {
  Reply reply;
  reply.status = 404;
  reply.bytes = 27;
  const auto ms = [](int n) { return std::chrono::milliseconds(n); };
  EXPECT_EQ(trace_line(request_for("", "login", ""), &reply, ms(4), nullptr),
            "[tarnwick] login: HTTP 404, 27 bytes, 0.004 s\n");
  EXPECT_EQ(trace_line(request_for("c/a.cfg <- items", "show", "'edge-1'"),
                       &reply, ms(61012), nullptr),
            "[tarnwick] c/a.cfg <- items: show 'edge-1': HTTP 404, 27 bytes, "
            "61.012 s\n");
  EXPECT_EQ(trace_line(request_for("a\x1b.cfg", "", ""), nullptr, ms(30001),
                       "timeout"),
            "[tarnwick] a\\x1b.cfg: (no action): failed after 30.001 s: "
            "timeout\n");
  // A reply over a kept connection says whether it was opened for it.
  const Request kept = request_for("a.cfg", "show", "");
  reply.connection = Reply::Connection::kNew;
  EXPECT_EQ(trace_line(kept, &reply, ms(4), nullptr),
            "[tarnwick] a.cfg: show: HTTP 404, 27 bytes, 0.004 s, "
            "new connection\n");
  reply.connection = Reply::Connection::kReused;
  EXPECT_EQ(trace_line(kept, &reply, ms(4), nullptr),
            "[tarnwick] a.cfg: show: HTTP 404, 27 bytes, 0.004 s, reused\n");
  EXPECT_EQ(trace_line(kept, nullptr, ms(4), "timeout"),
            "[tarnwick] a.cfg: show: failed after 0.004 s: timeout\n");
}

// A FakeTransport that notes, as each request is sent, what the reader of
// a pipe has received by then.
class PipeWatchingTransport : public FakeTransport {
 public:
  explicit PipeWatchingTransport(int read_fd) : read_fd_(read_fd) {}

  Reply post(const Request& request) override {
    char buffer[256];
    ssize_t n;
    while ((n = read(read_fd_, buffer, sizeof buffer)) > 0)
      received_.append(buffer, static_cast<std::size_t>(n));
    seen_at_posts_.push_back(received_);
    return FakeTransport::post(request);
  }

  const std::vector<std::string>& seen_at_posts() const {
    return seen_at_posts_;
  }

 private:
  int read_fd_;
  std::string received_;
  std::vector<std::string> seen_at_posts_;
};

// The report so far goes out before the run waits; a trace line follows
// each request, failed or not, and each is counted.
TEST(TracedTransportTest, FlushesTheReportAndTracesEachRequest) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  PipeWatchingTransport inner(fds[0]);
  inner.add_reply("{}");
  inner.add_failure(ErrorKind::kConnection, "refused");
  Output trace(-1);
  SteadyClock clock;
  Traffic traffic;
  {
    Output out(fds[1]);
    TracedTransport traced(inner, out, &trace, clock, &traffic);
    out.write("block\n");
    traced.post(request_for("a.cfg", "show", ""));
    out.write("more\n");
    EXPECT_THROW(traced.post(request_for("a.cfg", "show", "'x'")), Error);
  }
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(inner.seen_at_posts(),
            (std::vector<std::string>{"block\n", "block\nmore\n"}));
  const std::string lines = trace.text();
  EXPECT_TRUE(lines.starts_with("[tarnwick] a.cfg: show: HTTP 200, 2 bytes, "))
      << lines;
  EXPECT_NE(lines.find("\n[tarnwick] a.cfg: show 'x': failed after "),
            std::string::npos)
      << lines;
  EXPECT_TRUE(lines.ends_with(" s: connection error\n")) << lines;
  // Both requests count; only the one answered has reply bytes.
  EXPECT_EQ(traffic.requests, 2u);
  EXPECT_EQ(traffic.reply_bytes, 2u);
}

// A clock that stands still: every request takes no time.
class StillClock : public Clock {
 public:
  TimePoint now() override { return TimePoint(); }
};

// Requests 0 to 3 of a.cfg's elements 'e0' to 'e3', request 2 unsendable;
// notes how each ended.
class ElementBatch : public RequestBatch {
 public:
  std::size_t wanted() override { return 4; }
  Request request(std::size_t index) override {
    if (index == 2) throw Error(ErrorKind::kInvalidValue, "unsendable");
    return request_for("a.cfg", "show", "'e" + std::to_string(index) + "'");
  }
  void received(std::size_t index, Reply) override {
    endings += std::to_string(index) + " ";
  }
  void failed(std::size_t index, const Error& error) override {
    endings +=
        std::to_string(index) + " " + error_kind_name(error.kind()) + ", ";
  }
  std::string endings;
};

// Side by side, each request's trace line comes as it ends, naming its
// element; one that could not be sent has none, but ends all the same.
TEST(TracedTransportTest, TracesABatchAsEachRequestEnds) {
  FakeTransport inner;
  inner.end_newest_first();
  inner.add_reply("{}");
  inner.add_failure(ErrorKind::kTimeout, "slow");
  inner.add_reply("[]");
  Output out(-1);
  Output trace(-1);
  StillClock clock;
  ElementBatch batch;
  TracedTransport(inner, out, &trace, clock).post_many(batch, 2);
  EXPECT_EQ(batch.endings, "1 timeout, 2 invalid value, 3 0 ");
  EXPECT_EQ(trace.text(),
            "[tarnwick] a.cfg: show 'e1': failed after 0.000 s: timeout\n"
            "[tarnwick] a.cfg: show 'e3': HTTP 200, 2 bytes, 0.000 s\n"
            "[tarnwick] a.cfg: show 'e0': HTTP 200, 2 bytes, 0.000 s\n");
}

}  // namespace
}  // namespace tarnwick
