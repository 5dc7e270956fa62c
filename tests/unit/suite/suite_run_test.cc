#include "tarnwick/suite/suite_run.h"

#include <gtest/gtest.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fake_transport.h"
#include "tarnwick/base/error.h"
#include "tarnwick/compare/baseline.h"
#include "tarnwick/expect/judge.h"
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

}  // namespace
}  // namespace tarnwick
