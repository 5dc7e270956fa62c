// The kept sessions: their age, what drops them, and one login at a time.
#include "tarnwick/exporter/session_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick {
namespace {

using std::chrono::minutes;

class FakeClock : public Clock {
 public:
  TimePoint now() override { return now_; }
  void advance(Duration d) { now_ += d; }

 private:
  TimePoint now_{};
};

std::shared_ptr<const ExporterConfig> config_with(const std::string& password,
                                                  bool keeps = true) {
  auto config = std::make_shared<ExporterConfig>();
  Auth auth;
  auth.name = "site";
  auth.username = "monitor";
  auth.password = password;
  if (keeps) auth.session_max_age = minutes(10);
  config->auths.emplace("site", std::move(auth));
  return config;
}

// One step of a story: what is done, and the session it gets ("cid-2+"
// when it logged in for it, "!" for a login that failed).
struct Step {
  enum Op {
    kTake,
    kTakeRefused,
    kTakeOtherTrust,
    kFailNext,
    kAdvance,
    kReloadSame,
    kReloadChanged,
    kReloadWithout,
    kTakeOldConfig
  };
  Op op;
  std::string expect;
  Clock::Duration advance{};
  std::string refused{};  // with kTakeRefused, the session refused
};

// A cache, its clock and its configurations, driven step by step.
class Story {
 public:
  Story() { cache_.adopt(config_); }

  // The session for a probe with `config`'s auth, as "cid-N" and "+".
  std::string take(const ExporterConfig& config, const TlsTrust& trust,
                   const std::string* stale) {
    try {
      SessionCache::Session s = cache_.session(
          "10.1.2.3", config.auths.at("site"), trust,
          [this] {
            if (fail_next_) {
              fail_next_ = false;
              throw Error(ErrorKind::kLoginFailed, "refused");
            }
            return "cid-" + std::to_string(++logins_);
          },
          [] {}, stale);
      return s.id + (s.logged_in ? "+" : "");
    } catch (const Error&) {
      return "!";
    }
  }

  std::string run(const Step& step) {
    const TlsTrust trust;
    switch (step.op) {
      case Step::kTake:
        return take(*config_, trust, nullptr);
      case Step::kTakeRefused:
        return take(*config_, trust, &step.refused);
      case Step::kTakeOtherTrust:
        return take(*config_, TlsTrust{"", "/etc/ca.pem"}, nullptr);
      case Step::kTakeOldConfig:
        return take(*old_config_, trust, nullptr);
      case Step::kFailNext:
        fail_next_ = true;
        return "";
      case Step::kAdvance:
        clock_.advance(step.advance);
        return "";
      case Step::kReloadSame:
        reload(config_with("secret"));
        return "";
      case Step::kReloadChanged:
        reload(config_with("changed"));
        return "";
      case Step::kReloadWithout:
        reload(config_with("secret", false));
        return "";
    }
    return "?";
  }

  SessionCache& cache() { return cache_; }
  const Auth& auth() const { return config_->auths.at("site"); }

 private:
  void reload(std::shared_ptr<const ExporterConfig> config) {
    old_config_ = config_;
    config_ = std::move(config);
    cache_.adopt(config_);
  }

  FakeClock clock_;
  SessionCache cache_{clock_};
  std::shared_ptr<const ExporterConfig> config_ = config_with("secret");
  std::shared_ptr<const ExporterConfig> old_config_;
  int logins_ = 0;
  bool fail_next_ = false;
};

TEST(SessionCacheTest, KeepsSessionsAsTheirAgeTrustAndCredentialsAllow) {
  using S = Step;
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"kept until max age",
       {{S::kTake, "cid-1+"},
        {S::kAdvance, "", minutes(9)},
        {S::kTake, "cid-1"},
        {S::kAdvance, "", minutes(1)},
        {S::kTake, "cid-2+"},
        {S::kTake, "cid-2"}}},
      // The second probe refused cid-1 too: it takes the first's new one.
      {"a refused session is replaced",
       {{S::kTake, "cid-1+"},
        {S::kTakeRefused, "cid-2+", {}, "cid-1"},
        {S::kTakeRefused, "cid-2", {}, "cid-1"},
        {S::kTake, "cid-2"}}},
      {"a failed login forgets the session",
       {{S::kTake, "cid-1+"},
        {S::kFailNext, ""},
        {S::kTakeRefused, "!", {}, "cid-1"},
        {S::kTake, "cid-2+"}}},
      {"another trust logs in again",
       {{S::kTake, "cid-1+"},
        {S::kTakeOtherTrust, "cid-2+"},
        {S::kTake, "cid-3+"}}},
      {"a reload that keeps the credentials keeps the session",
       {{S::kTake, "cid-1+"},
        {S::kReloadSame, ""},
        {S::kTake, "cid-1"},
        {S::kTakeOldConfig, "cid-2+"},
        {S::kTake, "cid-1"}}},
      {"a reload that changes them drops it",
       {{S::kTake, "cid-1+"},
        {S::kReloadChanged, ""},
        {S::kTake, "cid-2+"},
        {S::kTakeOldConfig, "cid-3+"},
        {S::kTake, "cid-2"}}},
      {"without session_max_age nothing is kept",
       {{S::kTake, "cid-1+"},
        {S::kReloadWithout, ""},
        {S::kTake, "cid-2+"},
        {S::kTake, "cid-3+"}}},
  };
  for (const auto& c : cases) {
    Story story;
    for (std::size_t i = 0; i < c.steps.size(); ++i)
      EXPECT_EQ(story.run(c.steps[i]), c.steps[i].expect)
          << c.name << ", step " << i;
  }
}

TEST(SessionCacheTest, ProbesThatArriveDuringALoginWaitForIt) {
  Story story;
  SessionCache& cache = story.cache();
  const Auth& auth = story.auth();
  for (const bool fails : {false, true}) {
    const std::string target = fails ? "10.9.9.8" : "10.9.9.9";
    std::atomic<int> logins{0};
    std::atomic<bool> second_waits{false};
    std::string first;
    std::thread leader([&] {
      try {
        first = cache
                    .session(
                        target, auth, {},
                        [&]() -> std::string {
                          ++logins;
                          // Until the second waits (or it never will).
                          const auto give_up =
                              std::chrono::steady_clock::now() +
                              std::chrono::seconds(5);
                          while (!second_waits &&
                                 std::chrono::steady_clock::now() < give_up)
                            std::this_thread::yield();
                          if (fails) throw Error(ErrorKind::kLoginFailed, "no");
                          return "cid-a";
                        },
                        [] {})
                    .id;
      } catch (const Error& e) {
        first = e.what();
      }
    });
    while (logins == 0) std::this_thread::yield();  // the first logs in
    std::string second;
    try {
      const SessionCache::Session s = cache.session(
          target, auth, {},
          [&] {
            ++logins;
            return std::string("cid-b");
          },
          [&] { second_waits = true; });
      second = s.id + (s.logged_in ? "+" : "");
    } catch (const Error& e) {
      second = e.what();
    }
    leader.join();
    EXPECT_EQ(logins, 1) << fails;
    EXPECT_EQ(first, fails ? "no" : "cid-a");
    EXPECT_EQ(second, fails ? "no" : "cid-a");
  }
}

}  // namespace
}  // namespace tarnwick
