#include "tarnwick/exporter/session_cache.h"

#include <chrono>
#include <utility>

#include "tarnwick/base/secret.h"

namespace tarnwick {

namespace {

// How often a wait for another probe's login asks whether it may go on.
constexpr std::chrono::milliseconds kWaitStep{20};

// Whether a session of `a` may be sent for `b`.
bool same_credentials(const Auth& a, const Auth& b) {
  return a.username == b.username && a.password == b.password &&
         a.insecure_skip_verify == b.insecure_skip_verify;
}

// Whether the waiting calls take a failed login as their own: not when it
// was the leading probe's deadline or its stop that ended it.
bool shared_failure(const Error& e) {
  return e.kind() != ErrorKind::kTimeout && e.kind() != ErrorKind::kInterrupted;
}

}  // namespace

SessionCache::~SessionCache() {
  for (auto& [key, entry] : entries_) forget(entry);
}

void SessionCache::forget(Entry& entry) { wipe_secret(entry.id); }

void SessionCache::adopt(std::shared_ptr<const ExporterConfig> config) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::string, Generation, std::less<>> next;
  for (const auto& [name, auth] : config->auths) {
    if (!auth.session_max_age) continue;
    const auto old = generations_.find(name);
    next[name] = {&auth, old != generations_.end() &&
                                 same_credentials(*old->second.auth, auth)
                             ? old->second.number
                             : ++next_generation_};
  }
  generations_ = std::move(next);
  config_ = std::move(config);
  for (auto at = entries_.begin(); at != entries_.end();) tidy(at++);
}

void SessionCache::tidy(std::map<Key, Entry>::iterator at) {
  Entry& e = at->second;
  const auto generation = generations_.find(std::get<1>(at->first));
  if (generation == generations_.end() ||
      generation->second.number != std::get<2>(at->first))
    forget(e);
  if (e.id.empty() && !e.in_flight && e.waiting == 0) entries_.erase(at);
}

SessionCache::Session SessionCache::lead(std::unique_lock<std::mutex>& lock,
                                         std::map<Key, Entry>::iterator at,
                                         const TlsTrust& trust,
                                         const LogIn& log_in) {
  Entry& e = at->second;
  forget(e);
  e.in_flight = true;
  const Clock::TimePoint started = clock_.now();
  // Ends the flight, the lock held again, however log_in ended.
  auto end_flight = [&](std::optional<Error> failure) {
    if (!lock.owns_lock()) lock.lock();
    e.in_flight = false;
    ++e.flights;
    e.failure = std::move(failure);
    flight_ended_.notify_all();
  };
  lock.unlock();
  std::string id;
  try {
    id = log_in();
  } catch (const Error& failure) {
    end_flight(shared_failure(failure) ? std::optional<Error>(failure)
                                       : std::nullopt);
    throw;
  } catch (...) {
    end_flight(std::nullopt);
    throw;
  }
  end_flight(std::nullopt);
  if (!id.empty()) {
    e.id = id;
    e.logged_in = started;
    e.trust = trust;
  }
  return {std::move(id), true};
}

SessionCache::Session SessionCache::session(const std::string& target,
                                            const Auth& auth,
                                            const TlsTrust& trust,
                                            const LogIn& log_in,
                                            const StillWaiting& still_waiting,
                                            const std::string* stale) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto generation = generations_.find(auth.name);
  if (generation == generations_.end() || generation->second.auth != &auth) {
    lock.unlock();
    return {log_in(), true};
  }
  const auto at =
      entries_.try_emplace(Key{target, auth.name, generation->second.number})
          .first;
  Entry& e = at->second;
  const Clock::Duration max_age = *auth.session_max_age;
  ++e.waiting;
  try {
    for (;;) {
      if (!e.id.empty() && e.trust == trust &&
          clock_.now() - e.logged_in < max_age &&
          (stale == nullptr || *stale != e.id)) {
        Session kept{e.id, false};
        --e.waiting;
        tidy(at);
        return kept;
      }
      if (!e.in_flight) {
        Session fresh = lead(lock, at, trust, log_in);
        --e.waiting;
        tidy(at);
        return fresh;
      }
      const std::uint64_t flight = e.flights;
      while (e.in_flight && e.flights == flight) {
        flight_ended_.wait_for(lock, kWaitStep);
        if (e.flights == flight) still_waiting();
      }
      if (e.failure) throw Error(*e.failure);
      // A kept session is taken now, or this call logs in itself.
    }
  } catch (...) {
    --e.waiting;
    tidy(at);
    throw;
  }
}

std::size_t SessionCache::size_for_test() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t kept = 0;
  for (const auto& [key, entry] : entries_) kept += entry.id.empty() ? 0 : 1;
  return kept;
}

}  // namespace tarnwick
