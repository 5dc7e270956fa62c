#include "tarnwick/exporter/kept_connections.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tarnwick/wire/curl_transport.h"

namespace tarnwick {
namespace {

class ManualClock : public Clock {
 public:
  TimePoint now() override { return now_; }
  void pass(Duration d) { now_ += d; }

 private:
  TimePoint now_{};
};

TlsTrust pinned(const std::string& pins) {
  TlsTrust trust;
  trust.pinned_public_keys = pins;
  return trust;
}

// Each row asks for a pool after a first one for ("10.0.0.1", "site",
// no trust) and says whether it is that first pool again.
TEST(KeptConnectionsTest, APoolServesOneTargetAuthAndTrustWhileItIsUsed) {
  using std::chrono::minutes;
  using std::chrono::seconds;
  const struct {
    const char* name;
    std::string address;
    std::string auth;
    TlsTrust trust;
    Clock::Duration later;
    bool same;
  } kRows[] = {
      {"the same", "10.0.0.1", "site", {}, seconds(15), true},
      {"another target", "10.0.0.2", "site", {}, seconds(0), false},
      {"another auth", "10.0.0.1", "lab", {}, seconds(0), false},
      {"a pin since a reload", "10.0.0.1", "site", pinned("sha256//A"),
       seconds(0), false},
      {"idle for too long",
       "10.0.0.1",
       "site",
       {},
       minutes(5) + seconds(1),
       false},
  };
  for (const auto& row : kRows) {
    ManualClock clock;
    KeptConnections kept(clock);
    const ConnectionPool* first = kept.pool_for("10.0.0.1", "site", {}).get();
    clock.pass(row.later);
    const std::shared_ptr<ConnectionPool> pool =
        kept.pool_for(row.address, row.auth, row.trust);
    EXPECT_EQ(pool.get() == first, row.same) << row.name;
  }
}

// A pool a probe still holds is not dropped however long it runs; beyond
// kMaxPools, the one asked for least recently and not held goes.
TEST(KeptConnectionsTest, DropsOnlyPoolsNoProbeHolds) {
  ManualClock clock;
  KeptConnections kept(clock);
  const std::shared_ptr<ConnectionPool> held =
      kept.pool_for("10.0.0.1", "site", {});
  clock.pass(std::chrono::hours(1));
  EXPECT_EQ(kept.pool_for("10.0.0.1", "site", {}), held);
  std::weak_ptr<ConnectionPool> oldest;
  for (std::size_t i = 1; i < kMaxPools; ++i) {
    clock.pass(std::chrono::milliseconds(100));  // all within kMaxPoolIdle
    const auto pool = kept.pool_for("10.1.0." + std::to_string(i), "site", {});
    if (i == 1) oldest = pool;
  }
  EXPECT_EQ(kept.size(), kMaxPools);
  kept.pool_for("10.2.0.1", "site", {});
  EXPECT_EQ(kept.size(), kMaxPools);
  EXPECT_TRUE(oldest.expired());
  EXPECT_EQ(kept.pool_for("10.0.0.1", "site", {}), held);
}

}  // namespace
}  // namespace tarnwick
