#include "tarnwick/exporter/web_guard.h"

#include <condition_variable>
#include <deque>
#include <optional>
#include <thread>
#include <utility>

#include "tarnwick/base/error.h"
#include "tarnwick/exporter/web_config.h"

namespace tarnwick {

// One thread that runs the bcrypt checks in turn.
class WebGuard::CheckQueue {
 public:
  CheckQueue() : thread_([this] { run(); }) {}
  ~CheckQueue() { stop(); }

  // Whether the check was taken (false: too many wait, or stopped).
  bool post(std::function<void()> check) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || waiting_.size() >= kMaxWaitingChecks) return false;
    waiting_.push_back(std::move(check));
    wake_.notify_one();
    return true;
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      waiting_.clear();
      wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      std::function<void()> check = std::move(waiting_.front());
      waiting_.pop_front();
      lock.unlock();
      check();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> waiting_;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once the rest is there
};

WebGuard::WebGuard(std::string file, ConfigFiles& files, HttpHandler& next)
    : file_(std::move(file)),
      files_(files),
      next_(next),
      // Without a file there are no users to check.
      checks_(file_.empty() ? nullptr : std::make_unique<CheckQueue>()) {}

WebGuard::~WebGuard() { stop_checks(); }

void WebGuard::stop_checks() {
  if (checks_) checks_->stop();
}

std::shared_ptr<const WebGuard::InForce> WebGuard::load(
    const std::string& file, ConfigFiles& files,
    std::vector<std::string>& problems) {
  const std::optional<WebConfig> config =
      read_web_config(file, files, problems);
  if (!config) return nullptr;
  auto next = std::make_shared<InForce>();
  next->users = config->users;
  if (config->tls) {
    try {
      next->tls = TlsSettings::load(*config->tls, files);
    } catch (const Error& e) {
      problems.push_back(file + ": " + e.what());
      return nullptr;
    }
  }
  return next;
}

std::vector<std::string> WebGuard::check(const std::string& file,
                                         ConfigFiles& files) {
  std::vector<std::string> problems;
  load(file, files, problems);
  return problems;
}

std::function<void()> WebGuard::read(std::vector<std::string>& problems) {
  problems.clear();
  if (file_.empty()) return [] {};
  std::shared_ptr<const InForce> next = load(file_, files_, problems);
  if (!next) return nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (in_force_ && (in_force_->tls != nullptr) != (next->tls != nullptr)) {
      problems.push_back(file_ + ": tls_server_config cannot be " +
                         (next->tls ? "added" : "removed") +
                         " while the exporter runs; restart it");
      return nullptr;
    }
  }
  return [this, next = std::move(next)] {
    std::lock_guard<std::mutex> lock(mutex_);
    in_force_ = next;
  };
}

std::shared_ptr<const TlsSettings> WebGuard::tls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_force_ ? in_force_->tls : nullptr;
}

void WebGuard::handle(const HttpRequest& request,
                      const std::shared_ptr<AnswerSlot>& slot) {
  std::shared_ptr<const InForce> now;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now = in_force_;
  }
  if (!now || now->users.empty()) {
    next_.handle(request, slot);
    return;
  }
  const std::optional<bool> known =
      auth_.allows_quickly(now->users, request.authorization);
  if (known) {
    answer(*known, request, slot);
    return;
  }
  const bool posted = checks_->post([this, now, request, slot] {
    answer(auth_.allows(now->users, request.authorization), request, slot);
  });
  if (!posted)
    slot->give({503,
                "text/plain; charset=utf-8",
                "too many password checks wait\n",
                {}});
}

void WebGuard::answer(bool allowed, const HttpRequest& request,
                      const std::shared_ptr<AnswerSlot>& slot) {
  if (allowed) {
    next_.handle(request, slot);
    return;
  }
  slot->give({401,
              "text/plain; charset=utf-8",
              "Unauthorized\n",
              {{"WWW-Authenticate", "Basic"}}});
}

}  // namespace tarnwick
