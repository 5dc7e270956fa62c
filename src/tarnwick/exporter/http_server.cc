#include "tarnwick/exporter/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>

#include "tarnwick/base/error.h"
#include "tarnwick/exporter/tls_server.h"

namespace tarnwick {

namespace {

// What the server keeps of one request on a connection.
struct Exchange {
  HttpRequest request;
  std::shared_ptr<AnswerSlot> slot;
};

MHD_Result collect_argument(void* cls, MHD_ValueKind, const char* key,
                            const char* value) {
  auto& query =
      *static_cast<std::vector<std::pair<std::string, std::string>>*>(cls);
  query.emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

std::string peer_of(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = "";
  const sockaddr* addr = info->client_addr;
  if (addr->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr,
              text, sizeof text);
  } else if (addr->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr,
              text, sizeof text);
  }
  return text;
}

MHD_Result queue_answer(MHD_Connection* connection, const HttpAnswer& answer) {
  MHD_Response* response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char*>(answer.body.data()),
      MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                          answer.content_type.c_str());
  for (const auto& [name, value] : answer.headers)
    MHD_add_response_header(response, name.c_str(), value.c_str());
  const MHD_Result queued =
      MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

struct HttpServer::State {
  HttpHandler* handler = nullptr;
  std::function<void(const std::string&)> log_error;
  std::function<std::shared_ptr<const TlsSettings>()> tls;
  std::string last_error;  // the last the library logged, while starting
  std::atomic<bool> started{false};
  MHD_Daemon* daemon = nullptr;
  std::mutex waiting_mutex;
  std::set<std::shared_ptr<AnswerSlot>> waiting;
  bool stopping = false;

  void forget(const std::shared_ptr<AnswerSlot>& slot) {
    std::lock_guard<std::mutex> lock(waiting_mutex);
    waiting.erase(slot);
  }

  // Queues the answer of a request whose handler has run, or suspends the
  // connection until it is given.
  MHD_Result answer_or_wait(MHD_Connection* connection, Exchange& exchange) {
    AnswerSlot& slot = *exchange.slot;
    std::unique_lock<std::mutex> lock(slot.mutex_);
    if (!slot.answer_) {
      MHD_suspend_connection(connection);
      slot.suspended_ = connection;
      return MHD_YES;
    }
    const HttpAnswer answer = std::move(*slot.answer_);
    slot.answer_.reset();
    lock.unlock();
    forget(exchange.slot);
    return queue_answer(connection, answer);
  }

  static MHD_Result on_request(void* cls, MHD_Connection* connection,
                               const char* url, const char* method, const char*,
                               const char*, std::size_t* upload_data_size,
                               void** con_cls) {
    State& state = *static_cast<State*>(cls);
    auto* exchange = static_cast<Exchange*>(*con_cls);
    if (exchange == nullptr) {  // the head is in
      exchange = new Exchange;
      *con_cls = exchange;
      exchange->request.method = method;
      exchange->request.path = url;
      MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND,
                                &collect_argument, &exchange->request.query);
      if (const char* timeout = MHD_lookup_connection_value(
              connection, MHD_HEADER_KIND,
              "X-Prometheus-Scrape-Timeout-Seconds"))
        exchange->request.scrape_timeout = timeout;
      if (const char* authorization = MHD_lookup_connection_value(
              connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION))
        exchange->request.authorization = authorization;
      exchange->request.peer = peer_of(connection);
      return MHD_YES;
    }
    if (*upload_data_size != 0) {  // no request here has a body to read
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (!exchange->slot) {
      exchange->slot = std::make_shared<AnswerSlot>();
      bool stopping = false;
      {
        std::lock_guard<std::mutex> lock(state.waiting_mutex);
        stopping = state.stopping;
        if (!stopping) state.waiting.insert(exchange->slot);
      }
      if (stopping) {
        exchange->slot->give({503,
                              "text/plain; charset=utf-8",
                              "the exporter is stopping\n",
                              {}});
      } else {
        state.handler->handle(exchange->request, exchange->slot);
      }
    }
    return state.answer_or_wait(connection, *exchange);
  }

  static void on_completed(void* cls, MHD_Connection*, void** con_cls,
                           MHD_RequestTerminationCode) {
    State& state = *static_cast<State*>(cls);
    auto* exchange = static_cast<Exchange*>(*con_cls);
    if (exchange == nullptr) return;
    if (exchange->slot) state.forget(exchange->slot);
    delete exchange;
    *con_cls = nullptr;
  }

  static void on_connection(void* cls, MHD_Connection* connection,
                            void** socket_context,
                            MHD_ConnectionNotificationCode code) {
    State& state = *static_cast<State*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      *socket_context = start_tls_connection(connection, state.tls());
    } else if (*socket_context != nullptr) {
      end_tls_connection(*socket_context);
      *socket_context = nullptr;
    }
  }

  static void on_log(void* cls, const char* format, va_list args) {
    State& state = *static_cast<State*>(cls);
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
      text.pop_back();
    if (!state.started) state.last_error = text;
    if (state.log_error) state.log_error(text);
  }
};

bool AnswerSlot::give(HttpAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (given_) return false;
  given_ = true;
  answer_ = std::move(answer);
  if (suspended_ != nullptr) {
    MHD_resume_connection(suspended_);
    suspended_ = nullptr;
  }
  return true;
}

HttpServer::HttpServer(HttpHandler& handler, const HttpServerOptions& options)
    : state_(std::make_unique<State>()) {
  state_->handler = &handler;
  state_->log_error = options.log_error;
  state_->tls = options.tls;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL |
                   MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  sockaddr_in6 v6{};
  sockaddr_in v4{};
  const sockaddr* address = nullptr;
  if (options.host.empty()) {
    flags |= MHD_USE_DUAL_STACK;
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_any;
    v6.sin6_port = htons(options.port);
    address = reinterpret_cast<const sockaddr*>(&v6);
  } else if (inet_pton(AF_INET, options.host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(options.port);
    address = reinterpret_cast<const sockaddr*>(&v4);
  } else if (inet_pton(AF_INET6, options.host.c_str(), &v6.sin6_addr) == 1) {
    flags |= MHD_USE_IPv6;
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(options.port);
    address = reinterpret_cast<const sockaddr*>(&v6);
  } else {
    throw Error(ErrorKind::kConnection,
                "cannot listen on '" + options.host + "': not an IP address");
  }
  // The priorities of the settings at start; each connection sets those of
  // the settings it starts with.
  std::string priorities;
  if (options.tls) {
    const std::shared_ptr<const TlsSettings> settings = options.tls();
    if (!settings)
      throw Error(ErrorKind::kConnection, "no TLS settings to listen with");
    priorities = settings->priorities();
    flags |= MHD_USE_TLS;
  }
  state_->daemon = MHD_start_daemon(
      flags, options.port, nullptr, nullptr, &State::on_request, state_.get(),
      // First, so that every message of the library goes through it.
      MHD_OPTION_EXTERNAL_LOGGER, &State::on_log, state_.get(),
      MHD_OPTION_SOCK_ADDR, address, MHD_OPTION_THREAD_POOL_SIZE,
      options.threads, MHD_OPTION_CONNECTION_LIMIT, options.connection_limit,
      MHD_OPTION_CONNECTION_TIMEOUT, options.idle_timeout_seconds,
      MHD_OPTION_NOTIFY_COMPLETED, &State::on_completed, state_.get(),
      // Last, and only with TLS: the options that follow it.
      options.tls ? MHD_OPTION_NOTIFY_CONNECTION : MHD_OPTION_END,
      &State::on_connection, state_.get(), MHD_OPTION_HTTPS_CERT_CALLBACK2,
      &retrieve_tls_certificate, MHD_OPTION_HTTPS_PRIORITIES,
      priorities.c_str(), MHD_OPTION_END);
  state_->started = true;
  if (state_->daemon == nullptr) {
    std::string where = options.host.find(':') != std::string::npos
                            ? "[" + options.host + "]"
                            : options.host;
    throw Error(ErrorKind::kConnection,
                "cannot listen on " + where + ":" +
                    std::to_string(options.port) +
                    (state_->last_error.empty() ? std::string()
                                                : ": " + state_->last_error));
  }
}

HttpServer::~HttpServer() {
  stop({503, "text/plain; charset=utf-8", "the exporter is stopping\n", {}});
}

std::uint16_t HttpServer::port() const {
  const MHD_DaemonInfo* info =
      MHD_get_daemon_info(state_->daemon, MHD_DAEMON_INFO_BIND_PORT);
  return info == nullptr ? 0 : info->port;
}

void HttpServer::stop(const HttpAnswer& answer) {
  if (state_->daemon == nullptr) return;
  const MHD_socket listening = MHD_quiesce_daemon(state_->daemon);
  if (listening != MHD_INVALID_SOCKET) close(listening);
  std::set<std::shared_ptr<AnswerSlot>> waiting;
  {
    std::lock_guard<std::mutex> lock(state_->waiting_mutex);
    state_->stopping = true;
    waiting = state_->waiting;
  }
  // A suspended connection must be resumed before the library stops.
  for (const std::shared_ptr<AnswerSlot>& slot : waiting) slot->give(answer);
  MHD_stop_daemon(state_->daemon);
  state_->daemon = nullptr;
}

}  // namespace tarnwick
