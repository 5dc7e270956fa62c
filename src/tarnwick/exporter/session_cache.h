// The sessions the exporter keeps across probes: per target and auth, the
// session id of the last login that succeeded, handed to the probes that
// follow until it is session_max_age old, and one login at a time.
#ifndef TARNWICK_EXPORTER_SESSION_CACHE_H_
#define TARNWICK_EXPORTER_SESSION_CACHE_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "tarnwick/base/clock.h"
#include "tarnwick/base/error.h"
#include "tarnwick/exporter/exporter_config.h"
#include "tarnwick/wire/tls_trust.h"

namespace tarnwick {

class SessionCache {
 public:
  // A session id for a probe. The caller wipes `id` (base/secret.h) when it
  // is done with it.
  struct Session {
    std::string id;
    // Whether this call logged in for it; false for a kept session or one
    // that another probe's login brought.
    bool logged_in = false;
  };
  // Logs in and returns the session id ("" for one that cannot be kept),
  // or throws.
  using LogIn = std::function<std::string()>;
  // Called while a call waits for another probe's login, at least every
  // few milliseconds; throws to end the wait (the probe's deadline).
  using StillWaiting = std::function<void()>;

  explicit SessionCache(Clock& clock) : clock_(clock) {}
  ~SessionCache();
  SessionCache(const SessionCache&) = delete;
  SessionCache& operator=(const SessionCache&) = delete;

  // Takes the configuration that probes are handed from now on: the
  // sessions of an auth that is gone, or whose user name, password or
  // insecure_skip_verify changed, are dropped, and so are those of an auth
  // without session_max_age. A probe of an auth of another configuration
  // (an earlier one, still running) keeps nothing: it logs in for itself.
  void adopt(std::shared_ptr<const ExporterConfig> config);

  // The session for a probe of `target` (its controller address) with
  // `auth`, whose trust for it is `trust`: the kept one when it was logged
  // in less than auth.session_max_age ago under the same trust (and is not
  // `stale`, one the controller refused), else a new one from log_in. While
  // a login for the same target and auth is in flight, waits for its
  // outcome instead of logging in: its session, or its failure (Error), but
  // for a failure of kind timeout or interrupted, which was the other
  // probe's own, after which one of the waiting calls logs in. A failed
  // login forgets the kept session. Throws what log_in or still_waiting
  // throw.
  Session session(const std::string& target, const Auth& auth,
                  const TlsTrust& trust, const LogIn& log_in,
                  const StillWaiting& still_waiting,
                  const std::string* stale = nullptr);

  // How many sessions are kept (for tests).
  std::size_t size_for_test();

 private:
  // (target, auth name, the auth's generation).
  using Key = std::tuple<std::string, std::string, std::uint64_t>;
  struct Entry {
    std::string id;  // "" when none is kept
    Clock::TimePoint logged_in{};
    TlsTrust trust;
    bool in_flight = false;
    std::uint64_t flights = 0;     // logins ended
    std::optional<Error> failure;  // of the last login, shared with waiters
    int waiting = 0;
  };
  // The auths of the adopted configuration: a generation that changes with
  // their credentials.
  struct Generation {
    const Auth* auth;
    std::uint64_t number;
  };

  // Drops an entry that holds nothing and that nobody waits for.
  void tidy(std::map<Key, Entry>::iterator at);
  // Wipes the entry's session id.
  static void forget(Entry& entry);
  // Runs log_in as the entry's flight and keeps its outcome.
  Session lead(std::unique_lock<std::mutex>& lock,
               std::map<Key, Entry>::iterator at, const TlsTrust& trust,
               const LogIn& log_in);

  Clock& clock_;
  std::mutex mutex_;
  std::condition_variable flight_ended_;
  std::shared_ptr<const ExporterConfig> config_;
  std::map<std::string, Generation, std::less<>> generations_;
  std::uint64_t next_generation_ = 0;
  std::map<Key, Entry> entries_;
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_SESSION_CACHE_H_
