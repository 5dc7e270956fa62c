#include "tarnwick/app/command.h"

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_prompter.h"
#include "fake_transport.h"
#include "tarnwick/app/command_line.h"
#include "tarnwick/app/failure_report.h"
#include "tarnwick/app/usage.h"
#include "tarnwick/wire/tls_certificate.h"
#include "tarnwick/wire/tls_trust.h"
#include "test_util.h"

namespace tarnwick {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// A clock that stands still, on a fixed day.
class StoppedClock : public Clock {
 public:
  TimePoint now() override { return TimePoint(); }
  WallTime wall_time() override {
    return WallTime(std::chrono::seconds(1714564800));
  }
};

// The whole command against fakes, with a check directory of one check.
class CommandTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_TRUE(write_file_for_test(
        dir_.path("a.cfg"),
        "[default]\ndescription = A\n[orvantis]\naction = show\n"));
  }

  // Runs the command as main does; argv_ keeps the arguments afterwards.
  int run(const std::vector<std::string>& args) {
    storage_.clear();
    storage_.push_back("tarnwick");
    storage_.insert(storage_.end(), args.begin(), args.end());
    argv_.clear();
    for (std::string& s : storage_) argv_.push_back(s.data());
    argv_.push_back(nullptr);
    Environment env{transports_, prompter_, out_, err_, clock_};
    try {
      return run_command(static_cast<int>(storage_.size()), argv_.data(), env);
    } catch (...) {
      return report_failure(std::current_exception(), out_, err_, true);
    }
  }

  ScopedTempDir dir_;
  FakeTransport transport_;
  FakeTransportFactory transports_{transport_};
  FakePrompter prompter_;
  Output out_{-1};
  Output err_{-1};
  StoppedClock clock_;
  std::vector<std::string> storage_;
  std::vector<char*> argv_;
};

TEST_F(CommandTest, HelpVersionAndUsageErrorsEndBeforeAnythingElse) {
  EXPECT_EQ(run({"--help", "--password", "pw"}), 0);
  EXPECT_EQ(out_.text(), help_text("tarnwick"));
  EXPECT_EQ(run({"--vers", "--password", "pw"}), 0);
  EXPECT_NE(out_.text().find(help_text("tarnwick") +
                             "tarnwick " TARNWICK_VERSION "\nlibcurl "),
            std::string::npos)
      << out_.text();
  EXPECT_EQ(run({"--bogus", "--password", "pw"}), 2);
  EXPECT_EQ(err_.text(),
            usage_text("tarnwick") +
                "tarnwick: error: unrecognized option '--bogus'\n");
  EXPECT_TRUE(prompter_.shown().empty());
  EXPECT_TRUE(transport_.posts().empty());
}

TEST_F(CommandTest, PromptsThenLogsInThenRunsTheSuite) {
  prompter_.add_answer("ctl");
  prompter_.add_answer("secret");
  transport_.add_reply(R"({"CID": "c0"})");
  transport_.add_reply(R"({"CID": "c1"})");
  transport_.add_reply(R"({"b": 1, "a": [true, null]})");
  EXPECT_EQ(run({"--config_dir", dir_.path(), "--user", "ops"}), 0);
  EXPECT_EQ(prompter_.shown(),
            (std::vector<std::string>{"address", "password"}));
  ASSERT_EQ(transport_.posts().size(), 3u);
  EXPECT_EQ(transport_.posts()[0].url, "https://ctl/v1/api");
  EXPECT_EQ(transport_.posts()[0].fields(), (Fields{{"action", "login"},
                                                    {"username", "ops"},
                                                    {"password", "secret"}}));
  EXPECT_EQ(transport_.posts()[2].fields(),
            (Fields{{"CID", "c1"}, {"action", "show"}}));
  EXPECT_EQ(out_.text(), "A\n{'a': [True, None], 'b': 1}\n\n\n");
  EXPECT_EQ(err_.text(), "");
}

// One transport for the run, made from the command line's options; none
// for a dry run.
TEST_F(CommandTest, TheRunsTransportIsMadeFromTheCommandLine) {
  using std::chrono::milliseconds;
  static constexpr char kPin[] =
      "sha256//QOi3GgEP5H8oUsmKZDsCthN0bFN74VsDMSL3tO5AXPA=";
  struct Case {
    std::vector<std::string> options;
    std::optional<milliseconds> timeout;
    bool reuse_connections;
    std::string pins;
  } cases[] = {
      {{}, std::nullopt, false, ""},
      {{"--timeout", "2.5", "--reuse-connections"},
       milliseconds(2500),
       true,
       ""},
      {{"--in-flight", "3"}, std::nullopt, true, ""},
      {{"--tls-pin", kPin}, std::nullopt, false, kPin},
  };
  for (const Case& c : cases) {
    transport_.add_reply(R"({"CID": "c0"})");
    transport_.add_reply(R"({"CID": "c1"})");
    transport_.add_reply("{}");
    std::vector<std::string> args = {"--controller_ip", "ctl",
                                     "--password",      "pw",
                                     "--config_dir",    dir_.path()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const std::size_t before = transports_.made().size();
    EXPECT_EQ(run(args), 0) << err_.text();
    ASSERT_EQ(transports_.made().size(), before + 1);
    EXPECT_EQ(transports_.made().back().timeout, c.timeout);
    EXPECT_EQ(transports_.made().back().reuse_connections, c.reuse_connections);
    EXPECT_EQ(transports_.made().back().trust.pinned_public_keys, c.pins);
  }
  EXPECT_EQ(run({"--dry-run", "--config_dir", dir_.path()}), 0);
  EXPECT_EQ(transports_.made().size(), std::size(cases));
}

TEST_F(CommandTest, FailedLoginEndsTheRunOnStandardOutput) {
  transport_.add_reply(R"({"error": "bad credentials"})");
  EXPECT_EQ(run({"--controller_ip", "ctl", "--password", "pw", "--config_dir",
                 dir_.path()}),
            1);
  EXPECT_EQ(out_.text(), "Login failed\n");
  EXPECT_EQ(err_.text(),
            "tarnwick: login failed: the controller at 'https://ctl/v1/api' "
            "did not accept the login of 'admin': HTTP 200 application/json; "
            "the reply has no member \"CID\", only 'error'\n");
  EXPECT_EQ(transport_.posts().size(), 1u);
}

// Where a value stands is the parser's word: attached or separate, under a
// prefix, a value that looks like an option name, several values.
TEST_F(CommandTest, PasswordValuesAreHiddenInTheArguments) {
  const std::vector<
      std::pair<std::vector<std::string>, std::vector<std::string>>>
      cases = {
          {{"--controller_ip", "c", "--password", "pw"},
           {"--controller_ip", "c", "--password", "**"}},
          {{"--controller_ip=c", "--pass=pw"},
           {"--controller_ip=c", "--pass=**"}},
          {{"--password=first", "--controller_ip", "c", "--passw", "-5"},
           {"--password=*****", "--controller_ip", "c", "--passw", "**"}},
          {{"--username=--password", "--controller_ip", "c", "--password",
            "a b", "--password=--pw"},
           {"--username=--password", "--controller_ip", "c", "--password",
            "***", "--password=****"}},
      };
  for (const auto& [args, hidden] : cases) {
    transport_.add_reply("{}");
    EXPECT_EQ(run(args), 1);
    for (std::size_t i = 0; i < hidden.size(); ++i)
      EXPECT_STREQ(argv_[i + 1], hidden[i].c_str()) << args[i];
  }
}

// With --keep-going a check that fails only itself leaves an ERROR block and
// an error line; the run goes on, and a summary ends it. A failed login
// still ends the run at once.
TEST_F(CommandTest, KeepGoingRunsPastFailedChecksButNotPastALogin) {
  ASSERT_TRUE(write_file_for_test(dir_.path("b.cfg"),
                                  "[default]\ndescription = B\n"
                                  "[orvantis]\nx = output(nowhere)\n"));
  const std::string dir = dir_.path();
  transport_.add_reply(R"({"CID": "c0"})");
  for (int check = 0; check < 2; ++check) {
    transport_.add_reply(R"({"CID": "c1"})");  // a.cfg runs
    transport_.add_reply("1");
    transport_.add_reply(R"({"CID": "c2"})");  // b.cfg fails after it
  }
  transport_.add_reply("{}");  // the third login fails
  EXPECT_EQ(run({"--controller_ip", "ctl", "--password", "pw", "--config_dir",
                 dir, "--keep-going", "--only", "a.cfg", "--only", "b.cfg",
                 "--only", "a.cfg", "--only", "b.cfg", "--only", "a.cfg"}),
            1);
  const std::string b_failed = "file not found: no such file: '" + dir +
                               "/nowhere' (in " + dir + "/b.cfg)";
  const std::string blocks = "A\n1\n\n\nB\nERROR: " + b_failed + "\n\n\n";
  EXPECT_EQ(out_.text(), blocks + blocks + "A\nLogin failed\n");
  EXPECT_EQ(err_.text().substr(0, 2 * (b_failed.size() + 11)),
            "tarnwick: " + b_failed + "\ntarnwick: " + b_failed + "\n");
  EXPECT_TRUE(err_.text().ends_with(
      " (in " + dir +
      "/a.cfg)\ntarnwick: checks failed: 2 of 5: b.cfg, b.cfg\n"))
      << err_.text();
}

// Under --json standard output carries the report alone: the address prompt
// goes to standard error, and so does "Login failed".
TEST_F(CommandTest, JsonKeepsStandardOutputForTheReport) {
  prompter_.add_answer("ctl");
  transport_.add_reply("{}");
  EXPECT_EQ(run({"--json", "--password", "pw", "--config_dir", dir_.path()}),
            1);
  EXPECT_EQ(prompter_.shown(), std::vector<std::string>{"address on stderr"});
  EXPECT_EQ(out_.text(), "");
  EXPECT_TRUE(err_.text().starts_with("tarnwick: login failed: "));
}

// --tls-show-pin makes the transport with the trust asked for and shows what
// the handshake presented, escaped (a certificate may hold anything); nothing
// is asked for and nothing posted.
TEST_F(CommandTest, ShowPinShowsThePresentedCertificateAndSendsNothing) {
  TlsCertificate certificate;
  certificate.pin = "sha256//P";
  certificate.subject = "CN=ctl\x1b[2J";
  certificate.issuer = "CN=ca";
  certificate.not_before = "2026-01-01T00:00:00Z";
  certificate.not_after = "2027-01-01T00:00:00Z";
  certificate.alt_names = {"DNS:ctl", "IP:10.0.0.1"};
  certificate.sha256_fingerprint = "AB:CD";
  transport_.set_certificate(certificate);
  const std::string pin =
      "sha256//QOi3GgEP5H8oUsmKZDsCthN0bFN74VsDMSL3tO5AXPA=";
  EXPECT_EQ(run({"--tls-show-pin", "--controller_ip", "ctl", "--tls-pin", pin}),
            0);
  EXPECT_EQ(out_.take_text(),
            "pin: sha256//P\nsubject: CN=ctl\\x1b[2J\nissuer: CN=ca\n"
            "not_before: 2026-01-01T00:00:00Z\n"
            "not_after: 2027-01-01T00:00:00Z\n"
            "subject_alt_names: DNS:ctl, IP:10.0.0.1\n"
            "sha256_fingerprint: AB:CD\n");
  EXPECT_EQ(transports_.made().back().trust.pinned_public_keys, pin);
  EXPECT_EQ(run({"--tls-show-pin", "--controller_ip", "ctl", "--json"}), 0);
  EXPECT_EQ(out_.take_text(),
            R"({"pin": "sha256//P", "subject": "CN=ctl\u001b[2J", )"
            R"("issuer": "CN=ca", "not_before": "2026-01-01T00:00:00Z", )"
            R"("not_after": "2027-01-01T00:00:00Z", )"
            R"("subject_alt_names": ["DNS:ctl", "IP:10.0.0.1"], )"
            R"("sha256_fingerprint": "AB:CD"})"
            "\n");
  EXPECT_EQ(
      transport_.handshakes(),
      (std::vector<std::string>{"https://ctl/v1/api", "https://ctl/v1/api"}));
  EXPECT_EQ(transports_.made().back().trust, TlsTrust());
  EXPECT_EQ(err_.text(), "");
  EXPECT_TRUE(prompter_.shown().empty());
  EXPECT_TRUE(transport_.posts().empty());
}

// A name that is no check file ends the run before the opening login.
TEST_F(CommandTest, OnlyNamesAreExaminedBeforeAnythingIsSent) {
  EXPECT_EQ(run({"--controller_ip", "ctl", "--password", "pw", "--config_dir",
                 dir_.path(), "--keep-going", "--only", "a.cfg", "--only",
                 "missing"}),
            1);
  EXPECT_EQ(err_.text(), "tarnwick: file not found: no such file: '" +
                             dir_.path("missing") + "'\n");
  EXPECT_TRUE(transport_.posts().empty());
}

// The reports of the run's end get the run's time from the clock and its
// traffic from the transport; --nagios puts its line in place of the report.
TEST_F(CommandTest, EndReportsTellTheRunsTimeAndTraffic) {
  transport_.add_reply(R"({"CID": "c0"})");
  transport_.add_reply(R"({"CID": "c1"})");
  transport_.add_reply(R"({"b": 1})");
  const std::string metrics = dir_.path("m.prom");
  EXPECT_EQ(run({"--controller_ip", "ctl", "--password", "pw", "--config_dir",
                 dir_.path(), "--metrics", metrics, "--nagios"}),
            0);
  EXPECT_EQ(out_.text(),
            "TARNWICK OK - 1 check, all well | checks=1 failed=0 "
            "expectations_failed=0 changed=0 time=0.000s\n");
  std::ifstream in(metrics);
  std::string line, samples;
  while (std::getline(in, line)) {
    if (!line.starts_with("#")) samples += line + "\n";
  }
  EXPECT_EQ(samples,
            "tarnwick_check_status{check=\"a.cfg\",controller=\"ctl\"} 0\n"
            "tarnwick_check_duration_seconds{check=\"a.cfg\",controller="
            "\"ctl\"} 0.000\n"
            "tarnwick_run_checks{controller=\"ctl\"} 1\n"
            "tarnwick_run_checks_failed{controller=\"ctl\"} 0\n"
            "tarnwick_run_duration_seconds{controller=\"ctl\"} 0.000\n"
            "tarnwick_run_requests{controller=\"ctl\"} 3\n"
            "tarnwick_run_reply_bytes{controller=\"ctl\"} 34\n"
            "tarnwick_run_exit_status{controller=\"ctl\"} 0\n"
            "tarnwick_run_timestamp_seconds{controller=\"ctl\"} "
            "1714564800.000\n");
}

}  // namespace
}  // namespace tarnwick
