// Time as the run measures it: a monotonic clock behind an interface, so
// that tests can stand in for it, and the time of day that reports name.
#ifndef TARNWICK_BASE_CLOCK_H_
#define TARNWICK_BASE_CLOCK_H_

#include <chrono>

namespace tarnwick {

class Clock {
 public:
  using Duration = std::chrono::steady_clock::duration;
  using TimePoint = std::chrono::steady_clock::time_point;

  using WallTime = std::chrono::system_clock::time_point;

  virtual ~Clock() = default;
  virtual TimePoint now() = 0;
  // The time of day, for reports that say when a run took place; never for
  // measuring (it may jump). Tests that compare it override this.
  virtual WallTime wall_time() { return std::chrono::system_clock::now(); }
};

// std::chrono::steady_clock.
class SteadyClock : public Clock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace tarnwick

#endif  // TARNWICK_BASE_CLOCK_H_
