// Test-only stand-in for the network: a Transport that records every post and
// answers from a script, one at a time or side by side.
#ifndef TARNWICK_TESTS_FAKE_TRANSPORT_H_
#define TARNWICK_TESTS_FAKE_TRANSPORT_H_

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tarnwick/base/cancellation.h"
#include "tarnwick/base/error.h"
#include "tarnwick/wire/tls_certificate.h"
#include "tarnwick/wire/tls_trust.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

// Decodes an application/x-www-form-urlencoded body into (name, value) pairs
// in order, for checking what a post carried. Test-only: malformed escapes
// are kept as they are.
inline std::vector<std::pair<std::string, std::string>> decode_form_for_test(
    std::string_view form) {
  auto unescape = [](std::string_view s) {
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '+') {
        out.push_back(' ');
      } else if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 &&
                 hex(s[i + 2]) >= 0) {
        out.push_back(static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2])));
        i += 2;
      } else {
        out.push_back(s[i]);
      }
    }
    return out;
  };
  std::vector<std::pair<std::string, std::string>> fields;
  if (form.empty()) return fields;
  std::size_t start = 0;
  while (true) {
    std::size_t end = form.find('&', start);
    std::string_view field = form.substr(start, end - start);
    std::size_t equals = field.find('=');
    if (equals == std::string_view::npos) {
      fields.emplace_back(unescape(field), "");
    } else {
      fields.emplace_back(unescape(field.substr(0, equals)),
                          unescape(field.substr(equals + 1)));
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return fields;
}

class FakeTransport : public Transport {
 public:
  struct Post {
    std::string url;
    std::string form;
    // The form decoded, for comparing with a list of pairs.
    std::vector<std::pair<std::string, std::string>> fields() const {
      return decode_form_for_test(form);
    }
  };

  // Queues the body of the next reply (status 200, JSON).
  void add_reply(std::string body) {
    Reply reply;
    reply.status = 200;
    reply.content_type = "application/json";
    reply.bytes = body.size();
    reply.body = std::move(body);
    script_.emplace_back(std::move(reply));
  }
  // Queues the next reply as it is.
  void add_reply(Reply reply) { script_.emplace_back(std::move(reply)); }
  // Queues a failure for the next post.
  void add_failure(ErrorKind kind, std::string message) {
    script_.emplace_back(Error(kind, message));
  }
  // Queues a post that is never answered: it waits until `cancellation` is
  // cancelled and throws its reason, as a transport made with it would.
  void add_hang(Cancellation& cancellation) {
    script_.emplace_back(&cancellation);
  }

  Reply post(const Request& request) override {
    std::variant<Reply, Error> next = answer(request);
    if (auto* error = std::get_if<Error>(&next)) throw *error;
    return std::get<Reply>(std::move(next));
  }

  // From now on post_many keeps in_flight requests taken (each a post in
  // the order taken, answered from the script) and ends the last one taken
  // first, so that requests end in the order furthest from their own.
  void end_newest_first() { newest_first_ = true; }

  void post_many(RequestBatch& batch, std::size_t in_flight) override {
    if (!newest_first_) return Transport::post_many(batch, in_flight);
    std::vector<std::pair<std::size_t, std::variant<Reply, Error>>> taken;
    std::size_t next = 0;
    for (;;) {
      while (taken.size() < in_flight && next < batch.wanted()) {
        const std::size_t index = next++;
        try {
          taken.emplace_back(index, answer(batch.request(index)));
        } catch (const Error& e) {
          batch.failed(index, e);
        }
      }
      if (taken.empty()) return;
      auto [index, outcome] = std::move(taken.back());
      taken.pop_back();
      if (auto* error = std::get_if<Error>(&outcome)) {
        batch.failed(index, *error);
      } else {
        batch.received(index, std::get<Reply>(std::move(outcome)));
      }
      const std::size_t wanted = batch.wanted();
      std::erase_if(taken, [&](const auto& t) { return t.first >= wanted; });
    }
  }

  // The certificate every handshake presents.
  void set_certificate(TlsCertificate certificate) {
    certificate_ = std::move(certificate);
  }
  TlsCertificate presented_certificate(const Request& request) override {
    handshakes_.push_back(request.url);
    return certificate_;
  }
  const std::vector<std::string>& handshakes() const { return handshakes_; }

  const std::vector<Post>& posts() const { return posts_; }
  // Scripted answers not used yet.
  std::size_t pending() const { return script_.size(); }

 private:
  std::variant<Reply, Error> answer(const Request& request) {
    posts_.push_back({request.url, request.form});
    if (script_.empty()) {
      ADD_FAILURE() << "unexpected post #" << posts_.size() << " to "
                    << request.url << ": " << request.form;
      return Error(ErrorKind::kConnection, "no reply scripted");
    }
    std::variant<Reply, Error, Cancellation*> next = std::move(script_.front());
    script_.pop_front();
    if (auto* error = std::get_if<Error>(&next)) return std::move(*error);
    if (auto* reply = std::get_if<Reply>(&next)) return std::move(*reply);
    wait_until_cancelled(*std::get<Cancellation*>(next));
  }

  // Waits as a transport does: woken by a cancel, or at the deadline.
  [[noreturn]] static void wait_until_cancelled(Cancellation& cancellation) {
    std::mutex mutex;
    std::condition_variable woken;
    const Cancellation::Waiter waiter(&cancellation, [&] {
      const std::lock_guard lock(mutex);
      woken.notify_all();
    });
    std::unique_lock lock(mutex);
    while (!cancellation.cancelled()) {
      if (const auto left = cancellation.time_left()) {
        woken.wait_for(lock, *left);
      } else {
        woken.wait(lock);
      }
    }
    cancellation.throw_if_cancelled();
    std::abort();  // cancelled, so thrown
  }

  std::deque<std::variant<Reply, Error, Cancellation*>> script_;
  std::vector<Post> posts_;
  bool newest_first_ = false;
  TlsCertificate certificate_;
  std::vector<std::string> handshakes_;
};

// Test-only factory: every transport it makes sends through one
// FakeTransport, and the options each was made with are kept.
class FakeTransportFactory : public TransportFactory {
 public:
  explicit FakeTransportFactory(Transport& transport) : transport_(transport) {}

  std::unique_ptr<Transport> make_transport(
      const TransportOptions& options) override {
    made_.push_back(options);
    return std::make_unique<Forward>(transport_);
  }

  const std::vector<TransportOptions>& made() const { return made_; }

 private:
  class Forward : public Transport {
   public:
    explicit Forward(Transport& to) : to_(to) {}
    Reply post(const Request& request) override { return to_.post(request); }
    void post_many(RequestBatch& batch, std::size_t in_flight) override {
      to_.post_many(batch, in_flight);
    }
    TlsCertificate presented_certificate(const Request& request) override {
      return to_.presented_certificate(request);
    }

   private:
    Transport& to_;
  };

  Transport& transport_;
  std::vector<TransportOptions> made_;
};

}  // namespace tarnwick

#endif  // TARNWICK_TESTS_FAKE_TRANSPORT_H_
