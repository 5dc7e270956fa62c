// The exporter's HTTP server: libmicrohttpd with a fixed pool of threads
// that poll the connections, a limit on connections and a timeout on idle
// ones. A request is answered when its handler gives the answer, which may
// come later from another thread: the connection waits suspended meanwhile
// and holds no thread.
#ifndef TARNWICK_EXPORTER_HTTP_SERVER_H_
#define TARNWICK_EXPORTER_HTTP_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct MHD_Connection;
struct MHD_Daemon;

namespace tarnwick {

class TlsSettings;

struct HttpRequest {
  std::string method;  // "GET"
  std::string path;    // "/probe", without the query
  // The query's arguments, decoded, in order; an argument without "="
  // has an empty value.
  std::vector<std::pair<std::string, std::string>> query;
  // X-Prometheus-Scrape-Timeout-Seconds, as sent.
  std::optional<std::string> scrape_timeout;
  std::string peer;  // the client's address, for logs
  // The Authorization header, as sent; never logged.
  std::optional<std::string> authorization;
};

struct HttpAnswer {
  unsigned status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// Where the answer to one request goes. Thread-safe; the first answer given
// counts, later ones are dropped.
class AnswerSlot {
 public:
  // Whether this answer is the one sent.
  bool give(HttpAnswer answer);

 private:
  friend class HttpServer;
  std::mutex mutex_;
  std::optional<HttpAnswer> answer_;
  bool given_ = false;
  // The connection, while it waits suspended for the answer; null once the
  // answer is taken or the connection gone.
  MHD_Connection* suspended_ = nullptr;
};

class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // Answers request through slot, now or later from any thread. Must not
  // block for long: it runs on one of the server's few threads.
  virtual void handle(const HttpRequest& request,
                      const std::shared_ptr<AnswerSlot>& slot) = 0;
};

struct HttpServerOptions {
  std::string host;  // an IP address; "" for every address (IPv6 and IPv4)
  std::uint16_t port = 0;  // 0: one the system picks
  unsigned threads = 4;
  unsigned connection_limit = 1024;
  unsigned idle_timeout_seconds = 60;
  // Where the server's own errors go, one line each.
  std::function<void(const std::string&)> log_error;
  // With it, the server speaks TLS only: each new connection takes the
  // settings it gives then (tls_server.h).
  std::function<std::shared_ptr<const TlsSettings>()> tls;
};

class HttpServer {
 public:
  // Listens and serves until stop(). handler must outlive the server.
  // Throws Error(kConnection) when it cannot listen.
  HttpServer(HttpHandler& handler, const HttpServerOptions& options);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  ~HttpServer();

  // The port it listens on.
  std::uint16_t port() const;

  // Stops listening, answers every request still waiting with `answer`,
  // and closes every connection. Idempotent.
  void stop(const HttpAnswer& answer);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_HTTP_SERVER_H_
