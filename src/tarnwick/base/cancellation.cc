#include "tarnwick/base/cancellation.h"

#include <utility>

#include "tarnwick/base/exit_status.h"

namespace tarnwick {

void Cancellation::cancel(const Cancelled& reason) {
  std::lock_guard lock(mutex_);
  if (reason_) return;
  reason_ = reason;
  cancelled_.store(true, std::memory_order_release);
  for (const auto& wake : waiters_) wake();
}

bool Cancellation::cancelled() {
  if (cancelled_.load(std::memory_order_acquire)) return true;
  if (clock_ == nullptr || clock_->now() < deadline_) return false;
  // No wait is woken: each bounds itself by the deadline, and this may be
  // called from one (waking it here could take a lock it holds).
  std::lock_guard lock(mutex_);
  if (!reason_)
    reason_ = Cancelled(ErrorKind::kTimeout, deadline_message_, kExitFailure);
  cancelled_.store(true, std::memory_order_release);
  return true;
}

void Cancellation::throw_if_cancelled() {
  if (!cancelled()) return;
  std::lock_guard lock(mutex_);
  throw *reason_;
}

std::optional<Clock::Duration> Cancellation::time_left() {
  if (clock_ == nullptr) return std::nullopt;
  if (cancelled()) return Clock::Duration::zero();
  const Clock::Duration left = deadline_ - clock_->now();
  return left > Clock::Duration::zero() ? left : Clock::Duration::zero();
}

Cancellation::Waiter::Waiter(Cancellation* cancellation,
                             std::function<void()> wake)
    : cancellation_(cancellation) {
  if (cancellation_ == nullptr) return;
  std::lock_guard lock(cancellation_->mutex_);
  registered_ = cancellation_->waiters_.insert(cancellation_->waiters_.end(),
                                               std::move(wake));
}

Cancellation::Waiter::~Waiter() {
  if (cancellation_ == nullptr) return;
  std::lock_guard lock(cancellation_->mutex_);
  cancellation_->waiters_.erase(registered_);
}

}  // namespace tarnwick
