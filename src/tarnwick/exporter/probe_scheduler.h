// Where probes run: a fixed pool of threads, at most one probe on each, so
// the pool's size caps the probes in flight. Scrapes of the same target,
// module and auth that overlap share one run, and a run's answer is given
// again for its module's min_interval after it ends.
#ifndef TARNWICK_EXPORTER_PROBE_SCHEDULER_H_
#define TARNWICK_EXPORTER_PROBE_SCHEDULER_H_

#include <compare>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tarnwick/base/clock.h"
#include "tarnwick/exporter/probe.h"
#include "tarnwick/exporter/probe_answer.h"

namespace tarnwick {

// Which scrapes share a run.
struct ProbeKey {
  std::string target;  // as parsed (ProbeTarget::controller_address)
  std::string module;
  std::string auth;
  auto operator<=>(const ProbeKey&) const = default;
};

// A probe that runs, as the scrapes waiting for it see it.
struct ProbeRun {
  ProbeProgress progress;
  Clock::TimePoint started;
};

// Where a scrape's answer came from: the run it started, a run of the same
// key that it joined, or an earlier run's answer given again.
enum class AnswerSource { kRun, kJoined, kCached };

// Called once with a probe's answer and where it came from; on a pool
// thread, or on the caller's for a cached answer.
using AnswerCallback =
    std::function<void(const ProbeAnswer& answer, AnswerSource source)>;
// A probe's work, run on a pool thread.
using ProbeJob = std::function<ProbeAnswer(ProbeProgress&)>;

class ProbeScheduler {
 public:
  // `threads` threads, each running one probe at a time. clock must outlive
  // the scheduler.
  ProbeScheduler(std::size_t threads, Clock& clock);
  ProbeScheduler(const ProbeScheduler&) = delete;
  ProbeScheduler& operator=(const ProbeScheduler&) = delete;
  // stop(), then waits for the runs.
  ~ProbeScheduler();

  enum class Admission {
    kStarted,  // a new run, whose answer goes to on_answer
    kJoined,   // a run of the same key was running: its answer goes there
    kCached,   // on_answer has had an earlier run's answer already
    kBusy,     // every thread has a probe: nothing runs
    kStopping,
  };
  struct Admitted {
    Admission how;
    std::shared_ptr<ProbeRun> run;  // for kStarted and kJoined
  };

  // Admits a scrape. With a key, it shares: an answer of the key that ended
  // within min_interval is given again, a run of the key is joined; else a
  // new run of `job` starts when a thread is free. Without a key (a debug
  // probe) it always runs afresh and its answer is kept for no one.
  Admitted submit(const std::optional<ProbeKey>& key,
                  Clock::Duration min_interval, ProbeJob job,
                  AnswerCallback on_answer);

  // The runs in flight.
  std::size_t in_flight() const;

  // Admits nothing more and tells every run to stop sending. Returns at
  // once; the threads end once their runs have.
  void stop();

  // Waits until every run has ended or `grace` has passed; whether they
  // have.
  bool wait_for_runs(Clock::Duration grace);

 private:
  struct Task;
  struct Cached {
    ProbeAnswer answer;
    Clock::TimePoint expires;
  };

  void work();
  void finish(Task& task, ProbeAnswer answer);
  // Drops the cached answers that expired, now and then.
  void sweep(Clock::TimePoint now);

  Clock& clock_;
  const std::size_t threads_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable ended_;
  std::deque<std::shared_ptr<Task>> queue_;
  std::map<ProbeKey, std::shared_ptr<Task>> running_;
  std::set<std::shared_ptr<Task>> active_;
  std::map<ProbeKey, Cached> cache_;
  Clock::TimePoint next_sweep_{};
  bool stopping_ = false;
  std::vector<std::thread> pool_;
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_PROBE_SCHEDULER_H_
