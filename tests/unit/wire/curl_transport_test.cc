#include "tarnwick/wire/curl_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tarnwick/app/operations.h"
#include "tarnwick/base/error.h"
#include "tarnwick/check/session.h"

namespace tarnwick {
namespace {

// The real transport against addresses that fail before any TLS: nothing
// listens on port 1.
TEST(CurlTransportTest, UnreachableControllerIsAConnectionError) {
  try {
    get_orvantis_cid("127.0.0.1:1", "admin", "pw-do-not-show");
    FAIL() << "no error";
  } catch (const Error& e) {
    const std::string message = e.what();
    const std::string prefix = "cannot reach 'https://127.0.0.1:1/v1/api': ";
    EXPECT_EQ(e.kind(), ErrorKind::kConnection) << message;
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_GT(message.size(), prefix.size()) << message;
    EXPECT_EQ(message.find("pw-do-not-show"), std::string::npos) << message;
  }
}

// libcurl would take "https:///v1/api" as host "v1" and post the password
// there; an address that leaves the URL without a host must send nothing.
TEST(CurlTransportTest, UrlWithoutHostIsRefused) {
  const std::string kCases[] = {"", "/", ":8443", "user@", "user:pw@:1"};
  for (const std::string& address : kCases) {
    const std::string url = controller_api_url(address);
    try {
      SteadyClock clock;
      Request request;
      request.url = url;
      request.form = "password=pw-do-not-show";
      CurlTransport(clock).post(request);
      ADD_FAILURE() << "no error for " << url;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::kConnection);
      EXPECT_EQ(e.what(), "cannot reach '" + url + "': the URL names no host");
    }
  }
}

// A port that takes connections (the kernel completes them) but never
// accepts one or says a word, so a TLS handshake with it never ends. shut()
// stops it listening, which resets the connections it holds.
class SilentPort {
 public:
  SilentPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (fd_ >= 0 && bind(fd_, any, size) == 0 && listen(fd_, 8) == 0 &&
        getsockname(fd_, any, &size) == 0)
      port_ = ntohs(address.sin_port);
  }
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;
  ~SilentPort() {
    if (fd_ >= 0) close(fd_);
  }

  int port() const { return port_; }
  void shut() { shutdown(fd_, SHUT_RDWR); }

 private:
  int fd_;
  int port_ = 0;
};

// How a post to a silent port ended, and after how long. Should the
// transport still wait after give_up, the port is shut, which ends the wait
// with a connection error.
struct Ending {
  ErrorKind kind = ErrorKind::kConnection;
  std::string message;
  std::chrono::steady_clock::duration elapsed{};
};

Ending post_to_silent_port(SilentPort& port,
                           std::optional<std::chrono::milliseconds> timeout,
                           std::chrono::seconds give_up) {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!done_changed.wait_for(lock, give_up, [&] { return done; }))
      port.shut();
  });
  Request request;
  request.url = "https://127.0.0.1:" + std::to_string(port.port()) + "/v1/api";
  TransportOptions options;
  options.timeout = timeout;
  SteadyClock clock;
  Ending ending;
  const auto start = std::chrono::steady_clock::now();
  try {
    CurlTransport(clock, options).post(request);
    ending.message = "a reply";
  } catch (const Error& e) {
    ending.kind = e.kind();
    ending.message = e.what();
  }
  ending.elapsed = std::chrono::steady_clock::now() - start;
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  done_changed.notify_one();
  watchdog.join();
  return ending;
}

// The connect timeout is what libcurl is told: a handshake that never ends
// overruns a 1 s limit after 1 s, not 1,000 s; without a limit it is still
// waited for when the watchdog ends it. (libcurl's own default of 300 s is
// too long to wait for here.)
TEST(CurlTransportTest, ConnectingWaitsOnlyAsLongAsTheRequestSays) {
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  {
    SilentPort port;
    ASSERT_NE(port.port(), 0);
    const Ending ending =
        post_to_silent_port(port, milliseconds(1000), seconds(10));
    EXPECT_EQ(ending.kind, ErrorKind::kTimeout) << ending.message;
    EXPECT_EQ(ending.message, "no connection to 'https://127.0.0.1:" +
                                  std::to_string(port.port()) +
                                  "/v1/api' within 1 s");
    EXPECT_GE(ending.elapsed, milliseconds(1000));
    EXPECT_LT(ending.elapsed, seconds(10));
  }
  {
    SilentPort port;
    ASSERT_NE(port.port(), 0);
    const Ending ending = post_to_silent_port(port, std::nullopt, seconds(2));
    EXPECT_EQ(ending.kind, ErrorKind::kConnection) << ending.message;
    EXPECT_GE(ending.elapsed, seconds(2)) << ending.message;
  }
}

// Requests to a silent port, side by side, each timing out: the batch takes
// no more once one has failed, and lowers what it wants to that one, so the
// later ones in flight are abandoned and end nowhere; every request before
// it still ends, once.
TEST(CurlTransportTest, BatchStopsAtTheFirstFailureItWantsNoMoreAfter) {
  SilentPort port;
  ASSERT_NE(port.port(), 0);
  class Batch : public RequestBatch {
   public:
    explicit Batch(int port) : port_(port) {}
    std::size_t wanted() override { return wanted_; }
    Request request(std::size_t index) override {
      taken.push_back(index);
      Request r;
      r.url = "https://127.0.0.1:" + std::to_string(port_) + "/v1/api";
      return r;
    }
    void received(std::size_t index, Reply) override { ended.push_back(index); }
    void failed(std::size_t index, const Error& e) override {
      EXPECT_EQ(e.kind(), ErrorKind::kTimeout) << e.what();
      ended.push_back(index);
      wanted_ = std::min(wanted_, index + 1);
    }
    std::vector<std::size_t> taken;
    std::vector<std::size_t> ended;

   private:
    int port_;
    std::size_t wanted_ = 6;
  } batch(port.port());
  SteadyClock clock;
  TransportOptions options;
  options.timeout = std::chrono::milliseconds(300);
  CurlTransport(clock, options).post_many(batch, 3);
  EXPECT_EQ(batch.taken, (std::vector<std::size_t>{0, 1, 2}));
  // Request 0 ends last or alone; none ends twice.
  ASSERT_FALSE(batch.ended.empty());
  EXPECT_EQ(batch.ended.back(), 0u);
  std::vector<std::size_t> ended = batch.ended;
  std::sort(ended.begin(), ended.end());
  EXPECT_EQ(std::adjacent_find(ended.begin(), ended.end()), ended.end());
  EXPECT_LE(ended.back(), 2u);
}

}  // namespace
}  // namespace tarnwick
