#include "tarnwick/exporter/web_guard.h"

#include <utility>

#include "tarnwick/base/error.h"
#include "tarnwick/exporter/web_config.h"

namespace tarnwick {

WebGuard::WebGuard(std::string file, ConfigFiles& files, HttpHandler& next)
    : file_(std::move(file)), files_(files), next_(next) {}

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
  if (!now || now->users.empty() ||
      auth_.allows(now->users, request.authorization)) {
    next_.handle(request, slot);
    return;
  }
  slot->give({401,
              "text/plain; charset=utf-8",
              "Unauthorized\n",
              {{"WWW-Authenticate", "Basic"}}});
}

}  // namespace tarnwick
