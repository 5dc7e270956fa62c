#include "tarnwick/exporter/probe_scheduler.h"

#include <chrono>
#include <exception>
#include <utility>

namespace tarnwick {

namespace {

// How often the expired answers are dropped.
constexpr std::chrono::seconds kSweepInterval{10};

}  // namespace

struct ProbeScheduler::Task {
  std::optional<ProbeKey> key;
  Clock::Duration min_interval{};
  ProbeJob job;
  std::shared_ptr<ProbeRun> run;
  // Whom the answer goes to: the scrape that started the run, then those
  // that joined it.
  std::vector<AnswerCallback> waiting;
};

ProbeScheduler::ProbeScheduler(std::size_t threads, Clock& clock)
    : clock_(clock), threads_(threads) {
  pool_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i)
    pool_.emplace_back([this] { work(); });
}

ProbeScheduler::~ProbeScheduler() {
  stop();
  for (std::thread& t : pool_) t.join();
}

ProbeScheduler::Admitted ProbeScheduler::submit(
    const std::optional<ProbeKey>& key, Clock::Duration min_interval,
    ProbeJob job, AnswerCallback on_answer) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopping_) return {Admission::kStopping, nullptr};
  const Clock::TimePoint now = clock_.now();
  sweep(now);
  if (key) {
    if (const auto cached = cache_.find(*key);
        cached != cache_.end() && now < cached->second.expires) {
      const ProbeAnswer answer = cached->second.answer;
      lock.unlock();
      on_answer(answer, AnswerSource::kCached);
      return {Admission::kCached, nullptr};
    }
    if (const auto running = running_.find(*key); running != running_.end()) {
      running->second->waiting.push_back(std::move(on_answer));
      return {Admission::kJoined, running->second->run};
    }
  }
  if (active_.size() >= threads_) return {Admission::kBusy, nullptr};
  auto task = std::make_shared<Task>();
  task->key = key;
  task->min_interval = min_interval;
  task->job = std::move(job);
  task->run = std::make_shared<ProbeRun>();
  task->run->started = now;
  task->waiting.push_back(std::move(on_answer));
  if (key) running_[*key] = task;
  active_.insert(task);
  queue_.push_back(task);
  lock.unlock();
  queued_.notify_one();
  return {Admission::kStarted, task->run};
}

std::size_t ProbeScheduler::in_flight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_.size();
}

void ProbeScheduler::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const std::shared_ptr<Task>& task : active_)
      task->run->progress.stop = true;
  }
  queued_.notify_all();
}

bool ProbeScheduler::wait_for_runs(Clock::Duration grace) {
  std::unique_lock<std::mutex> lock(mutex_);
  return ended_.wait_for(lock, grace, [this] { return active_.empty(); });
}

void ProbeScheduler::work() {
  for (;;) {
    std::shared_ptr<Task> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, nothing left to run
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    ProbeAnswer answer;
    try {
      answer = task->job(task->run->progress);
    } catch (const std::exception& e) {
      // run_probe throws nothing; a job that does still gets an answer.
      answer.failures.push_back({"internal error", "", e.what()});
    }
    finish(*task, std::move(answer));
  }
}

void ProbeScheduler::finish(Task& task, ProbeAnswer answer) {
  std::vector<AnswerCallback> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (task.key) {
      const auto running = running_.find(*task.key);
      if (running != running_.end() && running->second.get() == &task)
        running_.erase(running);
      if (task.min_interval > Clock::Duration::zero())
        cache_[*task.key] = {answer, clock_.now() + task.min_interval};
    }
    waiting = std::move(task.waiting);
    for (auto it = active_.begin(); it != active_.end(); ++it) {
      if (it->get() == &task) {
        active_.erase(it);
        break;
      }
    }
  }
  ended_.notify_all();
  for (std::size_t i = 0; i < waiting.size(); ++i)
    waiting[i](answer, i == 0 ? AnswerSource::kRun : AnswerSource::kJoined);
}

void ProbeScheduler::sweep(Clock::TimePoint now) {
  if (now < next_sweep_) return;
  next_sweep_ = now + kSweepInterval;
  for (auto it = cache_.begin(); it != cache_.end();) {
    it = now >= it->second.expires ? cache_.erase(it) : std::next(it);
  }
}

}  // namespace tarnwick
