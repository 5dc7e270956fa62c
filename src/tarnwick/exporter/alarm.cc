#include "tarnwick/exporter/alarm.h"

#include <chrono>
#include <utility>

namespace tarnwick {

Alarm::Alarm() : thread_([this] { run(); }) {}

Alarm::~Alarm() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void Alarm::at(Clock::TimePoint at, std::function<void()> what) {
  bool earliest = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    earliest = pending_.empty() || at < pending_.begin()->first;
    pending_.emplace(at, std::move(what));
  }
  if (earliest) changed_.notify_all();
}

void Alarm::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (pending_.empty()) {
      changed_.wait(lock);
      continue;
    }
    const Clock::TimePoint next = pending_.begin()->first;
    if (std::chrono::steady_clock::now() < next) {
      changed_.wait_until(lock, next);
      continue;
    }
    std::function<void()> what = std::move(pending_.begin()->second);
    pending_.erase(pending_.begin());
    lock.unlock();
    what();
    lock.lock();
  }
}

}  // namespace tarnwick
