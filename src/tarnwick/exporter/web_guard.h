// The web configuration in force (--web.config.file): read at start and at
// each reload, it puts every request behind basic authentication and gives
// each new TLS connection the certificate and client checks of the latest
// good read.
#ifndef TARNWICK_EXPORTER_WEB_GUARD_H_
#define TARNWICK_EXPORTER_WEB_GUARD_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tarnwick/exporter/basic_auth.h"
#include "tarnwick/exporter/exporter_config.h"
#include "tarnwick/exporter/http_server.h"
#include "tarnwick/exporter/tls_server.h"

namespace tarnwick {

class WebGuard : public HttpHandler {
 public:
  // file: "" for none (plain HTTP, no authentication). files and next must
  // outlive the guard. Reads nothing yet.
  WebGuard(std::string file, ConfigFiles& files, HttpHandler& next);

  // Reads the file and the TLS files it names. Returns what puts them in
  // force, or an empty function with the problems ("FILE:LINE: message").
  // TLS cannot be turned on or off once in force: a read that would is a
  // problem.
  std::function<void()> read(std::vector<std::string>& problems);

  // Reads file and the TLS files it names as read() does, for
  // --config.check: the problems, none when it is good.
  static std::vector<std::string> check(const std::string& file,
                                        ConfigFiles& files);

  // The TLS settings in force; null without TLS.
  std::shared_ptr<const TlsSettings> tls() const;

  // Answers 401 with "WWW-Authenticate: Basic" unless the request names a
  // user with its password (when there are users); passes it on otherwise.
  // A password that needs a bcrypt check waits for it on a thread of the
  // guard's own, behind at most kMaxWaitingChecks others (503 beyond), so
  // that the server's threads never wait for one.
  void handle(const HttpRequest& request,
              const std::shared_ptr<AnswerSlot>& slot) override;

  // Ends the bcrypt checks: those waiting are dropped unanswered. Call it
  // once the server has stopped, before `next` goes. Idempotent.
  void stop_checks();

  ~WebGuard() override;

  static constexpr std::size_t kMaxWaitingChecks = 64;

 private:
  struct InForce {
    std::shared_ptr<const TlsSettings> tls;
    BasicAuthUsers users;
  };

  // Passes the request on, or answers 401.
  void answer(bool allowed, const HttpRequest& request,
              const std::shared_ptr<AnswerSlot>& slot);

  // What file holds, or null with the problems.
  static std::shared_ptr<const InForce> load(
      const std::string& file, ConfigFiles& files,
      std::vector<std::string>& problems);

  const std::string file_;
  ConfigFiles& files_;
  HttpHandler& next_;
  BasicAuth auth_;
  class CheckQueue;
  std::unique_ptr<CheckQueue> checks_;
  mutable std::mutex mutex_;
  std::shared_ptr<const InForce> in_force_;
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_WEB_GUARD_H_
