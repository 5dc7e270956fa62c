// Ending a run from outside it: a token that another thread cancels (a
// server ending one of its runs, the watcher of the process's signals) or a
// deadline that passes, and the failure the run then ends with.
#ifndef TARNWICK_BASE_CANCELLATION_H_
#define TARNWICK_BASE_CANCELLATION_H_

#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "tarnwick/base/clock.h"
#include "tarnwick/base/error.h"

namespace tarnwick {

// The failure a cancelled run ends with: kind kInterrupted for a signal
// ("stopped by SIGTERM"), kTimeout for a deadline. It ends the run, and
// passes unchanged through everything between the wait it ended and the
// run's caller (which catch it as Cancelled before Error): only what knows
// what the run was waiting for adds that. exit_status is the process's exit
// status for it (130 or 143 for a signal).
class Cancelled : public Error {
 public:
  Cancelled(ErrorKind kind, const std::string& message, int exit_status)
      : Error(kind, message, true), exit_status_(exit_status) {}

  int exit_status() const { return exit_status_; }

  // The same with `context` added to its message.
  Cancelled with_context(const std::string& context) const {
    return Cancelled(kind(), what() + context, exit_status_);
  }

 private:
  int exit_status_;
};

// A run's cancellation. Every member is thread-safe. Nothing runs when a
// deadline passes, and no wait is woken: a wait bounds itself by
// time_left(), and cancelled() tells when it has passed.
class Cancellation {
 public:
  // Cancelled only by cancel().
  Cancellation() = default;
  // Cancelled too, with Cancelled(kTimeout, message), once `deadline` passes
  // on `clock`, which must outlive it.
  Cancellation(Clock& clock, Clock::TimePoint deadline, std::string message)
      : clock_(&clock),
        deadline_(deadline),
        deadline_message_(std::move(message)) {}
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  // Cancels with `reason` and wakes the waits, unless it is cancelled
  // already: the first reason stays.
  void cancel(const Cancelled& reason);

  // Whether it is cancelled, by cancel() or by its deadline.
  bool cancelled();

  // Throws the reason, when it is cancelled.
  void throw_if_cancelled();

  // How long a wait may last before the deadline passes (zero once it has);
  // unset without a deadline.
  std::optional<Clock::Duration> time_left();

  // While it lives, a wait that cancel() cuts short: `wake` is called once,
  // from the thread that cancels, when the cancellation is cancelled. It must
  // be quick and must not call back into the cancellation. A wait registers
  // before it looks at cancelled(), so that no cancel goes unseen. A null
  // cancellation registers nothing.
  class Waiter {
   public:
    Waiter(Cancellation* cancellation, std::function<void()> wake);
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

   private:
    Cancellation* cancellation_;
    std::list<std::function<void()>>::iterator registered_;
  };

 private:
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;  // guards what follows
  std::optional<Cancelled> reason_;
  std::list<std::function<void()>> waiters_;

  Clock* clock_ = nullptr;  // with a deadline
  Clock::TimePoint deadline_;
  std::string deadline_message_;
};

}  // namespace tarnwick

#endif  // TARNWICK_BASE_CANCELLATION_H_
