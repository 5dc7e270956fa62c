#include "tarnwick/suite/suite_run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "fake_transport.h"
#include "tarnwick/base/cancellation.h"
#include "tarnwick/base/error.h"
#include "tarnwick/compare/baseline.h"
#include "tarnwick/expect/judge.h"
#include "tarnwick/wire/curl_transport.h"
#include "test_util.h"

namespace tarnwick {
namespace {

// Keeps what a run hands its report.
class RecordingReport : public ReportWriter {
 public:
  void check_started(std::string_view name,
                     const std::optional<std::string>&) override {
    started.emplace_back(name);
  }
  void check_finished(const CheckOutcome& outcome) override {
    finished.push_back(outcome);
  }
  void check_planned(const CheckPlan&) override {}

  std::vector<std::string> started;
  std::vector<CheckOutcome> finished;
};

// A run of checks in a temporary directory against fakes.
class SuiteRunTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    settings_.controller_ip = "ctl";
    settings_.password = "pw";
    settings_.config_dir = dir_.path();
  }

  void write_check(const std::string& name, const std::string& action,
                   const std::string& more = "") {
    ASSERT_TRUE(write_file_for_test(
        dir_.path(name), "[orvantis]\naction = " + action + "\n" + more));
  }

  Suite suite(Transport& transport) {
    return Suite{settings_, transport, report_, clock_, err_};
  }

  ScopedTempDir dir_;
  RunSettings settings_;
  FakeTransport transport_;
  RecordingReport report_;
  SteadyClock clock_;
  Output err_{-1};
};

// The earlier run's file changes after the check is judged: the check fails
// with the comparison's error, its expectations not judged (once each), its
// comparison noted as not made, and the run ends once the report has it.
TEST_F(SuiteRunTest, AComparisonThatFailsFailsTheCheckOnceReported) {
  write_check("a.cfg", "show", "[expect]\none = x == 1\n");
  // Its line is the second: the first is kept from when the file is opened.
  const std::string earlier = dir_.path("earlier.jsonl");
  std::string lines =
      "{\"check\": \"z.cfg\", \"result\": 1}\n"
      "{\"check\": \"a.cfg\", \"result\": 1}\n";
  ASSERT_TRUE(write_file_for_test(earlier, lines));
  const Baseline baseline = Baseline::open(earlier);
  lines.replace(lines.find("a.cfg"), 1, "b");
  ASSERT_TRUE(write_file_for_test(earlier, lines));
  transport_.add_reply(R"({"CID": "c1"})");
  transport_.add_reply(R"({"x": 1})");
  Suite s = suite(transport_);
  s.expect = true;
  s.keep_going = true;
  s.baseline = &baseline;
  SuiteTally tally;
  try {
    run_checks(s, {"a.cfg"}, tally);
    FAIL() << "the run went on";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kBadBaseline) << e.what();
  }
  ASSERT_EQ(report_.finished.size(), 1u);
  const CheckOutcome& outcome = report_.finished[0];
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->kind(), ErrorKind::kBadBaseline);
  EXPECT_TRUE(outcome.ends_run);
  EXPECT_FALSE(outcome.result.has_value());
  ASSERT_EQ(outcome.expectations.size(), 1u);
  EXPECT_FALSE(outcome.expectations[0].holds.has_value());
  ASSERT_TRUE(outcome.baseline.has_value());
  EXPECT_EQ(outcome.baseline->note, "not compared: this run had an error");
}

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// What a cancelled run must leave as it found: its threads and its TCP
// connections (libcurl's own socket pairs are not counted).
struct Leftovers {
  std::size_t threads = 0;
  std::size_t connections = 0;
  bool operator==(const Leftovers&) const = default;
};

Leftovers count_leftovers() {
  namespace fs = std::filesystem;
  Leftovers found;
  for ([[maybe_unused]] const auto& task :
       fs::directory_iterator("/proc/self/task"))
    ++found.threads;
  // The inodes of TCP sockets, from the kernel's tables.
  std::set<std::string> tcp;
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string field;
      for (int i = 0; i < 10 && fields >> field; ++i) {
      }
      tcp.insert(field);  // the tenth field
    }
  }
  std::error_code ignored;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    const std::string target = fs::read_symlink(fd.path(), ignored).string();
    // "socket:[INODE]"
    if (target.starts_with("socket:[") &&
        tcp.count(target.substr(8, target.size() - 9)) > 0)
      ++found.connections;
  }
  return found;
}

// How a run is cancelled: by a token another thread cancels, or by its
// deadline.
enum class By { kToken, kDeadline };

// Cancels a run `after` from now: by its deadline, or by token from another
// thread, sooner once `waiting` says that the request to cancel is out.
class Canceller {
 public:
  Canceller(By by, milliseconds after, std::function<bool()> waiting)
      : by_(by),
        deadline_(steady_clock::now() + after),
        cancellation_(by == By::kDeadline
                          ? std::make_unique<Cancellation>(
                                clock_, deadline_, "the run's time is up")
                          : std::make_unique<Cancellation>()) {
    if (by == By::kDeadline) return;
    thread_ = std::thread([this, waiting = std::move(waiting)] {
      while (!waiting() && steady_clock::now() < deadline_)
        std::this_thread::sleep_for(milliseconds(5));
      cancelled_at_ = steady_clock::now();
      cancellation_->cancel(
          Cancelled(ErrorKind::kInterrupted, "stopped by SIGTERM", 143));
    });
  }
  ~Canceller() { join(); }
  Canceller(const Canceller&) = delete;
  Canceller& operator=(const Canceller&) = delete;

  Cancellation& cancellation() { return *cancellation_; }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  // When the cancel took effect: its call, or the deadline.
  steady_clock::time_point cancelled_at() {
    join();
    return by_ == By::kToken ? cancelled_at_ : deadline_;
  }

 private:
  const By by_;
  SteadyClock clock_;
  const steady_clock::time_point deadline_;
  std::unique_ptr<Cancellation> cancellation_;
  steady_clock::time_point cancelled_at_;
  std::thread thread_;
};

// Runs a.cfg (answered), b.cfg (whose request waits until the run is
// cancelled) and c.cfg: the run ends within 100 ms of the cancel with the
// reason's kind, a.cfg's outcome reported and b.cfg's not.
void expect_cancelled_run(const Suite& suite, RecordingReport& report,
                          Canceller& canceller, By by) {
  SuiteTally tally;
  try {
    run_checks(suite, {"a.cfg", "b.cfg", "c.cfg"}, tally);
    ADD_FAILURE() << "the run was not cancelled";
  } catch (const Cancelled& e) {
    const auto ended = steady_clock::now();
    EXPECT_EQ(e.kind(),
              by == By::kToken ? ErrorKind::kInterrupted : ErrorKind::kTimeout)
        << e.what();
    EXPECT_EQ(e.exit_status(), by == By::kToken ? 143 : 1);
    EXPECT_LT(ended - canceller.cancelled_at(), milliseconds(100));
  }
  EXPECT_EQ(report.started, (std::vector<std::string>{"a.cfg", "b.cfg"}));
  ASSERT_EQ(report.finished.size(), 1u);
  EXPECT_EQ(report.finished[0].name, "a.cfg");
  EXPECT_TRUE(report.finished[0].result.has_value());
}

TEST_F(SuiteRunTest, ACancelledRunEndsTheWaitAndKeepsWhatFinished) {
  for (const By by : {By::kToken, By::kDeadline}) {
    SCOPED_TRACE(by == By::kToken ? "by token" : "by deadline");
    write_check("a.cfg", "show");
    write_check("b.cfg", "hold");
    write_check("c.cfg", "show");
    FakeTransport transport;
    Canceller canceller(by, milliseconds(50), [] { return false; });
    for (const char* cid : {R"({"CID": "c1"})", R"({})", R"({"CID": "c2"})"})
      transport.add_reply(cid);
    transport.add_hang(canceller.cancellation());
    report_ = RecordingReport();
    Suite s = suite(transport);
    s.cancellation = &canceller.cancellation();
    expect_cancelled_run(s, report_, canceller, by);
    EXPECT_EQ(transport.pending(), 0u);
  }
}

// The stand-in controller (tools/stub_controller.py) on a loopback port,
// for as long as it lives; its requests logged to a file.
class StandIn {
 public:
  StandIn(const ScopedTempDir& dir, const std::string& rules)
      : log_(dir.path("requests.jsonl")) {
    const std::string replies = dir.path("replies");
    const std::string rules_file = dir.path("rules.json");
    std::error_code ignored;
    std::filesystem::create_directory(replies, ignored);
    int out[2];
    if (!write_file_for_test(rules_file, rules) || pipe(out) != 0) return;
    const std::string source =
        std::string(TARNWICK_TEST_DATA_DIR) + "/../../tools/stub_controller.py";
    std::vector<std::string> args = {
        "python3",  source,  "--replies", replies,      "--rules",
        rules_file, "--log", log_,        "--lifetime", "120"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(),
                     environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // "listening on 127.0.0.1:PORT\n"
    std::string line;
    char c;
    // Kept open while the stand-in runs, as it may write more.
    from_stand_in_ = out[0];
    while (pid_ > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    const std::string_view prefix = "listening on ";
    if (line.starts_with(prefix)) address_ = line.substr(prefix.size());
  }
  ~StandIn() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (from_stand_in_ >= 0) close(from_stand_in_);
  }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  // "127.0.0.1:PORT", or "" when it did not start.
  const std::string& address() const { return address_; }
  // How many requests of `action` it has received.
  std::size_t received(const std::string& action) const {
    std::ifstream in(log_);
    std::string line;
    std::size_t n = 0;
    while (std::getline(in, line))
      n += line.find("\"action\": \"" + action + "\"") != std::string::npos;
    return n;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  int from_stand_in_ = -1;
  std::string address_;
};

TEST_F(SuiteRunTest, ACancelledRunClosesTheConnectionsOfItsRequests) {
  StandIn stand_in(dir_, R"({"rules": [{"action": "hold", "fault": "hang"}]})");
  ASSERT_FALSE(stand_in.address().empty());
  settings_.controller_ip = stand_in.address();
  write_check("a.cfg", "show");
  write_check("b.cfg", "hold");
  write_check("c.cfg", "show");
  const Leftovers before = count_leftovers();
  for (const By by : {By::kToken, By::kDeadline}) {
    SCOPED_TRACE(by == By::kToken ? "by token" : "by deadline");
    const std::size_t held = stand_in.received("hold");
    Canceller canceller(by, milliseconds(by == By::kToken ? 10000 : 1500),
                        [&] { return stand_in.received("hold") > held; });
    SteadyClock clock;
    TransportOptions options;
    options.reuse_connections = true;
    options.cancellation = &canceller.cancellation();
    {
      CurlTransport transport(clock, options);
      report_ = RecordingReport();
      Suite s = suite(transport);
      s.cancellation = options.cancellation;
      expect_cancelled_run(s, report_, canceller, by);
      // The request was out when the run was cancelled.
      EXPECT_EQ(stand_in.received("hold"), held + 1);
      EXPECT_EQ(count_leftovers(), before);
    }
  }
  EXPECT_EQ(count_leftovers(), before);
}

}  // namespace
}  // namespace tarnwick
