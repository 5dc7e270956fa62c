// The connections that the probes of an auth with keep_connections leave
// open for the next probe of the same target, and the TLS sessions that
// its new connections resume: a ConnectionPool per target and auth, held by
// the exporter across probes and reloads.
#ifndef TARNWICK_EXPORTER_KEPT_CONNECTIONS_H_
#define TARNWICK_EXPORTER_KEPT_CONNECTIONS_H_

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/base/clock.h"
#include "tarnwick/wire/tls_trust.h"

namespace tarnwick {

class ConnectionPool;

// A pool no probe has asked for within this time is dropped, its
// connections closed and its TLS sessions forgotten: servers commonly keep
// a TLS session for 5 minutes (nginx's ssl_session_timeout), so one kept
// longer would rarely be resumed.
inline constexpr std::chrono::minutes kMaxPoolIdle{5};
// The most targets whose pools are kept: beyond it, asking for a new one
// drops the one asked for least recently that no probe holds, so that
// scrapes of ever new targets cannot hold ever more sockets open.
inline constexpr std::size_t kMaxPools = 1024;

// Thread-safe. clock must outlive it.
class KeptConnections {
 public:
  explicit KeptConnections(Clock& clock) : clock_(clock) {}
  ~KeptConnections();
  KeptConnections(const KeptConnections&) = delete;
  KeptConnections& operator=(const KeptConnections&) = delete;

  // The pool of the probes of `address` with `auth`. It is made anew when
  // there is none, or when the one there was made under another trust than
  // `trust` (a reload changed the auth's pins or CA file): connections and
  // sessions of the old trust are never used under the new. Drops, first,
  // the pools that no probe holds and that went unasked for kMaxPoolIdle,
  // then as kMaxPools says. Never null.
  std::shared_ptr<ConnectionPool> pool_for(const std::string& address,
                                           const std::string& auth,
                                           const TlsTrust& trust);

  // How many pools are kept (for tests).
  std::size_t size() const;

 private:
  struct Kept {
    TlsTrust trust;
    std::shared_ptr<ConnectionPool> pool;
    Clock::TimePoint asked;
  };
  using Key = std::pair<std::string, std::string>;  // address, auth

  // Moves the pools that are to go out of kept_ into `dropped`, to be
  // closed once the lock is let go.
  void drop_unused(const Key& wanted, Clock::TimePoint now,
                   std::vector<std::shared_ptr<ConnectionPool>>& dropped);

  Clock& clock_;
  mutable std::mutex mutex_;
  std::map<Key, Kept> kept_;
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_KEPT_CONNECTIONS_H_
