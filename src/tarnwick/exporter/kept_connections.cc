#include "tarnwick/exporter/kept_connections.h"

#include "tarnwick/wire/curl_transport.h"

namespace tarnwick {

KeptConnections::~KeptConnections() = default;

std::shared_ptr<ConnectionPool> KeptConnections::pool_for(
    const std::string& address, const std::string& auth,
    const TlsTrust& trust) {
  // Dropped pools close their connections after the lock is let go, so
  // that other scrapes do not wait for it.
  std::vector<std::shared_ptr<ConnectionPool>> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::TimePoint now = clock_.now();
  Key key(address, auth);
  drop_unused(key, now, dropped);
  Kept& kept = kept_[std::move(key)];
  if (!kept.pool || kept.trust != trust) {
    if (kept.pool) dropped.push_back(std::move(kept.pool));
    kept.trust = trust;
    kept.pool = std::make_shared<ConnectionPool>();
  }
  kept.asked = now;
  return kept.pool;
}

void KeptConnections::drop_unused(
    const Key& wanted, Clock::TimePoint now,
    std::vector<std::shared_ptr<ConnectionPool>>& dropped) {
  // A pool is held by a probe only through a copy handed out here, under
  // the lock: one counted once is unused and stays so while the lock is held.
  const auto unused = [](const Kept& k) { return k.pool.use_count() == 1; };
  for (auto it = kept_.begin(); it != kept_.end();) {
    if (unused(it->second) && now - it->second.asked > kMaxPoolIdle) {
      dropped.push_back(std::move(it->second.pool));
      it = kept_.erase(it);
    } else {
      ++it;
    }
  }
  if (kept_.size() < kMaxPools || kept_.contains(wanted)) return;
  auto oldest = kept_.end();
  for (auto it = kept_.begin(); it != kept_.end(); ++it) {
    if (unused(it->second) &&
        (oldest == kept_.end() || it->second.asked < oldest->second.asked))
      oldest = it;
  }
  if (oldest == kept_.end()) return;  // all in use: kMaxPools is exceeded
  dropped.push_back(std::move(oldest->second.pool));
  kept_.erase(oldest);
}

std::size_t KeptConnections::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_.size();
}

}  // namespace tarnwick
