// One thread that calls functions at their times: the deadlines of the
// scrapes that wait for probes.
#ifndef TARNWICK_EXPORTER_ALARM_H_
#define TARNWICK_EXPORTER_ALARM_H_

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "tarnwick/base/clock.h"

namespace tarnwick {

class Alarm {
 public:
  Alarm();
  Alarm(const Alarm&) = delete;
  Alarm& operator=(const Alarm&) = delete;
  // Stops without calling what is still to come.
  ~Alarm();

  // Calls `what` on the alarm's thread once the steady clock reaches `at`
  // (at once when it has). `what` must not block.
  void at(Clock::TimePoint at, std::function<void()> what);

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::multimap<Clock::TimePoint, std::function<void()>> pending_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_ALARM_H_
