// The kept sessions: their age, what drops them, and one login at a time.
#include "tarnwick/exporter/session_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tarnwick/exporter/yaml_fields.h"

namespace tarnwick {
namespace {

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
  if (keeps) auth.session_max_age = std::chrono::minutes(10);
  config->auths.emplace("site", std::move(auth));
  return config;
}

// The session a call gets, "cid-2+" when it logged in for it, or the
// message of its failure.
std::string take(
    SessionCache& cache, const Auth& auth, const std::string& target,
    const TlsTrust& trust, const SessionCache::LogIn& log_in,
    const SessionCache::StillWaiting& still_waiting = [] {},
    const std::string* stale = nullptr) {
  try {
    const SessionCache::Session s =
        cache.session(target, auth, trust, log_in, still_waiting, stale);
    return s.id + (s.logged_in ? "+" : "");
  } catch (const Error& e) {
    return e.what();
  }
}

// A cache, its clock and its configurations, driven by steps "OP:ARG:...".
class Story {
 public:
  Story() { cache_.adopt(config_); }

  // What the step got, "" for a step that takes no session.
  std::string run(const std::string& step) {
    std::vector<std::string> w;
    std::istringstream in(step);
    for (std::string part; std::getline(in, part, ':');) w.push_back(part);
    const TlsTrust trust;
    if (w[0] == "take") return take(*config_, trust);
    if (w[0] == "refused") return take(*config_, trust, &w[1]);
    if (w[0] == "other-trust") return take(*config_, {"", "/ca.pem"});
    if (w[0] == "old-config") return take(*old_config_, trust);
    if (w[0] == "fail") fail_next_ = true;
    if (w[0] == "wait") clock_.advance(*parse_duration(w[1]));
    if (w[0] == "reload") {
      old_config_ = config_;
      config_ = config_with(w[1] == "changed" ? "changed" : "secret",
                            w[1] != "without");
      cache_.adopt(config_);
    }
    return "";
  }

 private:
  std::string take(const ExporterConfig& config, const TlsTrust& trust,
                   const std::string* stale = nullptr) {
    const auto log_in = [this] {
      if (fail_next_) {
        fail_next_ = false;
        throw Error(ErrorKind::kLoginFailed, "refused");
      }
      return "cid-" + std::to_string(++logins_);
    };
    return tarnwick::take(
        cache_, config.auths.at("site"), "10.1.2.3", trust, log_in, [] {},
        stale);
  }

  FakeClock clock_;
  SessionCache cache_{clock_};
  std::shared_ptr<const ExporterConfig> config_ = config_with("secret");
  std::shared_ptr<const ExporterConfig> old_config_;
  int logins_ = 0;
  bool fail_next_ = false;
};

TEST(SessionCacheTest, KeepsSessionsAsTheirAgeTrustAndCredentialsAllow) {
  // Each step, then what it gets after "=".
  const struct {
    const char* name;
    std::vector<const char*> steps;
  } cases[] = {
      {"kept until max age",
       {"take=cid-1+", "wait:9m=", "take=cid-1", "wait:1m=", "take=cid-2+",
        "take=cid-2"}},
      // The second probe refused cid-1 too: it takes the first's new one.
      {"a refused session is replaced",
       {"take=cid-1+", "refused:cid-1=cid-2+", "refused:cid-1=cid-2"}},
      {"a failed login forgets the session",
       {"take=cid-1+", "fail=", "refused:cid-1=refused", "take=cid-2+"}},
      {"another trust logs in again",
       {"take=cid-1+", "other-trust=cid-2+", "take=cid-3+"}},
      // A probe still running with the configuration before keeps nothing.
      {"a reload that keeps the credentials keeps the session",
       {"take=cid-1+", "reload:same=", "take=cid-1", "old-config=cid-2+",
        "take=cid-1"}},
      {"a reload that changes them drops it",
       {"take=cid-1+", "reload:changed=", "take=cid-2+", "old-config=cid-3+",
        "take=cid-2"}},
      {"without session_max_age nothing is kept",
       {"take=cid-1+", "reload:without=", "take=cid-2+", "take=cid-3+"}},
  };
  for (const auto& c : cases) {
    Story story;
    for (const std::string step : c.steps) {
      const std::size_t is = step.find('=');
      EXPECT_EQ(story.run(step.substr(0, is)), step.substr(is + 1))
          << c.name << ": " << step;
    }
  }
}

TEST(SessionCacheTest, ProbesThatArriveDuringALoginWaitForIt) {
  FakeClock clock;
  SessionCache cache(clock);
  const auto config = config_with("secret");
  cache.adopt(config);
  const Auth& auth = config->auths.at("site");
  for (const bool fails : {false, true}) {
    const std::string target = fails ? "10.9.9.8" : "10.9.9.9";
    std::atomic<int> logins{0};
    std::atomic<bool> second_waits{false};
    std::string first;
    std::thread leader([&] {
      first = take(cache, auth, target, {}, [&]() -> std::string {
        ++logins;
        // Until the second waits (or it never will).
        for (int i = 0; i < 5000 && !second_waits; ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (fails) throw Error(ErrorKind::kLoginFailed, "no");
        return "cid-a";
      });
    });
    while (logins == 0) std::this_thread::yield();  // the first logs in
    const std::string second = take(
        cache, auth, target, {},
        [&] { return "cid-" + std::to_string(++logins); },
        [&] { second_waits = true; });
    leader.join();
    EXPECT_EQ(logins, 1) << fails;
    EXPECT_EQ(first, fails ? "no" : "cid-a+");
    EXPECT_EQ(second, fails ? "no" : "cid-a");
  }
}

}  // namespace
}  // namespace tarnwick
