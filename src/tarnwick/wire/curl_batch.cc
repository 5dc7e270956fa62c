#include "tarnwick/wire/curl_batch.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/base/cancellation.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/wire/curl_transfer.h"

namespace tarnwick {

namespace {

// The longest wait for a socket before the transfers are driven again, as
// curl_easy_perform has it: their progress watches run at least this often.
constexpr int kPollMs = 1000;

// Waits until a socket of multi's transfers is ready, libcurl wants to
// drive them, or the cancellation wakes multi or its deadline passes.
void wait_for_sockets(CURLM* multi, Cancellation* cancellation) {
  int ms = kPollMs;
  if (cancellation != nullptr) {
    if (const auto left = cancellation->time_left()) {
      const auto left_ms =
          std::chrono::ceil<std::chrono::milliseconds>(*left).count();
      ms = static_cast<int>(std::min<decltype(left_ms)>(left_ms, ms));
    }
  }
  curl_multi_poll(multi, nullptr, 0, ms, nullptr);
}

// Takes a transfer in flight out of multi for a cancellation: its connection
// is closed rather than kept for a later request, as it is mid-request.
void abandon(CURLM* multi, CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
  curl_multi_remove_handle(multi, handle);
}

[[noreturn]] void fail_multi(const std::string& url, CURLMcode code) {
  throw Error(ErrorKind::kConnection,
              "request to " + quote_text(url) +
                  " failed: " + curl_multi_strerror(code));
}

// A request in flight: the transfer sends the form from the request here.
struct InFlight {
  std::size_t index = 0;
  Request request;
  std::optional<CurlTransfer> transfer;
};

class BatchRun {
 public:
  BatchRun(RequestBatch& batch, std::size_t in_flight,
           const TransportOptions& options, Clock& clock, CURLSH* kept)
      : batch_(batch),
        in_flight_(in_flight),
        options_(options),
        clock_(clock),
        kept_(kept),
        multi_(curl_multi_init()) {
    if (multi_ == nullptr) return;
    woken_.emplace(options.cancellation,
                   [multi = multi_] { curl_multi_wakeup(multi); });
    const long limit = static_cast<long>(in_flight);
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    // One connection per request in flight at most, over HTTP/1.1; and as
    // many kept once they are done, not libcurl's default of four.
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, limit);
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, limit);
  }
  BatchRun(const BatchRun&) = delete;
  BatchRun& operator=(const BatchRun&) = delete;
  ~BatchRun() {
    woken_.reset();
    for (const auto& flight : flights_)
      curl_multi_remove_handle(multi_, flight->transfer->handle());
    flights_.clear();
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
  }

  void run() {
    for (;;) {
      end_if_cancelled();
      fill();
      drop_unwanted();
      if (flights_.empty()) return;
      int running = 0;
      const CURLMcode code = curl_multi_perform(multi_, &running);
      // Before the transfers that the progress callback ended for it are
      // taken for failures.
      end_if_cancelled();
      if (code != CURLM_OK) {
        fail_all(code);
        continue;
      }
      if (collect()) continue;
      wait_for_sockets(multi_, options_.cancellation);
    }
  }

 private:
  // Hands out requests until in_flight are unanswered or none is wanted.
  void fill() {
    while (flights_.size() < in_flight_ && next_ < batch_.wanted()) {
      auto flight = std::make_unique<InFlight>();
      flight->index = next_++;
      try {
        flight->request = batch_.request(flight->index);
        if (multi_ == nullptr) throw start_failure(flight->request);
        flight->transfer.emplace(flight->request, options_, clock_, kept_);
      } catch (const Error& e) {
        batch_.failed(flight->index, e);
        continue;
      }
      CURL* handle = flight->transfer->handle();
      // Until the first connection tells whether the controller speaks
      // HTTP/2, the others wait for it rather than open their own.
      if (kept_ != nullptr) curl_easy_setopt(handle, CURLOPT_PIPEWAIT, 1L);
      if (curl_multi_add_handle(multi_, handle) != CURLM_OK) {
        const Error error = start_failure(flight->request);
        const std::size_t index = flight->index;
        flight.reset();
        batch_.failed(index, error);
        continue;
      }
      flights_.push_back(std::move(flight));
    }
  }

  static Error start_failure(const Request& request) {
    return Error(ErrorKind::kConnection, "cannot start the HTTPS client for " +
                                             quote_text(request.url));
  }

  // Ends every transfer that libcurl has finished, in the order it reports
  // them; returns whether any ended. Each transfer is freed before its
  // reply is handed on, so no more than in_flight bodies are ever held.
  bool collect() {
    std::vector<std::pair<CURL*, CURLcode>> done;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE)
        done.emplace_back(message->easy_handle, message->data.result);
    }
    for (const auto& ending : done) {
      CURL* const handle = ending.first;
      const CURLcode code = ending.second;
      const auto it = std::find_if(
          flights_.begin(), flights_.end(), [&](const auto& flight) {
            return flight->transfer->handle() == handle;
          });
      // Abandoned by an earlier ending in this round.
      if (it == flights_.end()) continue;
      std::unique_ptr<InFlight> flight = std::move(*it);
      flights_.erase(it);
      curl_multi_remove_handle(multi_, handle);
      std::optional<Reply> reply;
      std::optional<Error> error;
      try {
        reply = flight->transfer->finish(code);
      } catch (const Error& e) {
        error = e;
      }
      const std::size_t index = flight->index;
      flight.reset();
      if (error) {
        batch_.failed(index, *error);
      } else {
        batch_.received(index, std::move(*reply));
      }
      drop_unwanted();
    }
    return !done.empty();
  }

  // Once the run is cancelled: abandons every request in flight and throws
  // the reason.
  void end_if_cancelled() {
    Cancellation* const cancellation = options_.cancellation;
    if (cancellation == nullptr || !cancellation->cancelled()) return;
    for (const auto& flight : flights_)
      abandon(multi_, flight->transfer->handle());
    flights_.clear();
    cancellation->throw_if_cancelled();
  }

  // Abandons the requests in flight that the batch no longer wants.
  void drop_unwanted() {
    const std::size_t wanted = batch_.wanted();
    std::erase_if(flights_, [&](const auto& flight) {
      if (flight->index < wanted) return false;
      curl_multi_remove_handle(multi_, flight->transfer->handle());
      return true;
    });
  }

  // libcurl cannot drive the transfers any more: each fails.
  void fail_all(CURLMcode code) {
    std::vector<std::pair<std::size_t, Error>> failures;
    for (const auto& flight : flights_) {
      curl_multi_remove_handle(multi_, flight->transfer->handle());
      failures.emplace_back(
          flight->index, Error(ErrorKind::kConnection,
                               "request to " + quote_text(flight->request.url) +
                                   " failed: " + curl_multi_strerror(code)));
    }
    flights_.clear();
    for (const auto& [index, error] : failures) {
      if (index < batch_.wanted()) batch_.failed(index, error);
    }
  }

  RequestBatch& batch_;
  const std::size_t in_flight_;
  const TransportOptions& options_;
  Clock& clock_;
  CURLSH* kept_;
  CURLM* multi_;
  // While it lives, a cancel wakes multi_ from curl_multi_poll.
  std::optional<Cancellation::Waiter> woken_;
  std::size_t next_ = 0;  // the next request to hand out
  std::vector<std::unique_ptr<InFlight>> flights_;
};

}  // namespace

CURLcode perform_alone(CURLM* multi, CURL* handle, const std::string& url,
                       Cancellation* cancellation) {
  const CURLMcode added = curl_multi_add_handle(multi, handle);
  if (added != CURLM_OK) fail_multi(url, added);
  // The transfer leaves multi however this ends (a second removal is none).
  const std::unique_ptr<CURL, std::function<void(CURL*)>> in_multi(
      handle, [multi](CURL* h) { curl_multi_remove_handle(multi, h); });
  const Cancellation::Waiter woken(cancellation,
                                   [multi] { curl_multi_wakeup(multi); });
  const auto end_if_cancelled = [&] {
    if (cancellation == nullptr || !cancellation->cancelled()) return;
    abandon(multi, handle);
    cancellation->throw_if_cancelled();
  };
  for (;;) {
    end_if_cancelled();
    int running = 0;
    const CURLMcode code = curl_multi_perform(multi, &running);
    end_if_cancelled();
    if (code != CURLM_OK) fail_multi(url, code);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == handle)
        return message->data.result;
    }
    wait_for_sockets(multi, cancellation);
  }
}

void send_batch(RequestBatch& batch, std::size_t in_flight,
                const TransportOptions& options, Clock& clock, CURLSH* kept) {
  BatchRun(batch, in_flight, options, clock, kept).run();
}

}  // namespace tarnwick
