#include "tarnwick/exporter/session_transport.h"

#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/scrub.h"
#include "tarnwick/base/secret.h"
#include "tarnwick/check/form.h"
#include "tarnwick/check/run_settings.h"
#include "tarnwick/check/session.h"
#include "tarnwick/json/json.h"
#include "tarnwick/wire/reply_summary.h"

namespace tarnwick {

namespace {

// The statuses with which a controller refuses a session it no longer has.
bool refused(const Reply& reply) {
  return reply.status == 401 || reply.status == 403;
}

// The failure of a request refused again under the session of a new login
// (the session was not what the controller refused), quoting the start of
// the body without the password or either session id.
Error refused_again(const Request& request, const Reply& reply,
                    const Scrubber& secrets) {
  return Error(
      ErrorKind::kHttpError,
      "the controller answered action " + quote_text(request.action) +
          " with " + describe_reply_head(reply) + ", " +
          describe_body_start(body_start(reply.body, secrets), secrets) +
          ", under a new session too, after refusing it under a "
          "kept one");
}

// Whether log_in takes the reply: a JSON object with a member "CID".
bool accepts_login(const Reply& reply) {
  try {
    const Value decoded = decode_json(reply.body);
    return decoded.node().is_map() && decoded.node().find("CID") != nullptr;
  } catch (const Error&) {
    return false;
  }
}

// "CID=..." as the first field of a form under session `cid`; "" for a
// session that adds no field.
std::string session_field(const Node& cid) {
  std::vector<FormField> fields;
  append_form_value(fields, "CID", cid);
  std::string form = encode_form(fields);
  for (FormField& field : fields) wipe_secret(field.value);
  return form;
}

// A session id taken from the cache as a value of a form.
Value text_value(std::string_view id) {
  ValueBuilder builder;
  const Node text = builder.text(id);
  return builder.finish(text);
}

}  // namespace

// A batch whose requests under the kept session are held until they end:
// those the controller refuses are sent again once the batch is done.
class SessionTransport::Batch : public RequestBatch {
 public:
  Batch(RequestBatch& outer, SessionTransport& transport)
      : outer_(outer), transport_(transport) {}
  ~Batch() override {
    for (auto& [index, request] : held_) wipe_secret(request.form);
    for (auto& [index, request] : refused_) wipe_secret(request.form);
  }

  std::size_t wanted() override { return outer_.wanted(); }

  Request request(std::size_t index) override {
    Request request = outer_.request(index);
    if (!transport_.under_kept_session(request.form)) return request;
    if (transport_.renewed_) {
      std::string form = transport_.renewed_form(request.form);
      wipe_secret(request.form);
      request.form = std::move(form);
    } else {
      held_[index] = request;
    }
    return request;
  }

  void received(std::size_t index, Reply reply) override {
    if (auto held = held_.extract(index)) {
      if (refused(reply)) {
        refused_.emplace(index, std::move(held.mapped()));
        return;
      }
      wipe_secret(held.mapped().form);
    }
    outer_.received(index, std::move(reply));
  }

  void failed(std::size_t index, const Error& error) override {
    if (auto held = held_.extract(index)) wipe_secret(held.mapped().form);
    outer_.failed(index, error);
  }

  // Sends the refused requests again, one at a time, under a new session.
  void send_again() {
    if (refused_.empty()) return;
    transport_.renew();
    for (auto& [index, request] : refused_) {
      if (index >= outer_.wanted()) continue;
      Request again = request;
      again.form = transport_.renewed_form(request.form);
      const WipedOnExit wiped(again.form);
      std::optional<Reply> reply;
      try {
        reply = transport_.inner_.post(again);
      } catch (const Cancelled&) {
        throw;
      } catch (const Error& e) {
        outer_.failed(index, e);
        continue;
      }
      if (refused(*reply)) {
        outer_.failed(index,
                      refused_again(request, *reply, transport_.secrets()));
        continue;
      }
      outer_.received(index, std::move(*reply));
    }
  }

 private:
  RequestBatch& outer_;
  SessionTransport& transport_;
  std::map<std::size_t, Request> held_;
  std::map<std::size_t, Request> refused_;
};

SessionTransport::~SessionTransport() {
  wipe_secret(opened_id_);
  wipe_secret(opened_field_);
  wipe_secret(renewed_id_);
  wipe_secret(renewed_field_);
}

Value SessionTransport::open_session(const RunSettings& settings) {
  settings_ = &settings;
  if (kept_ == nullptr) return log_in(settings, "", *this);
  Value session;
  SessionCache::Session s = cached_session(session, nullptr);
  opened_id_ = std::move(s.id);
  if (s.logged_in) return session;
  // Only a session this probe did not log in for is renewed.
  session = text_value(opened_id_);
  opened_field_ = session_field(session.node());
  return session;
}

bool SessionTransport::under_kept_session(const std::string& form) const {
  const std::string& field = opened_field_;
  return !field.empty() && form.starts_with(field) &&
         (form.size() == field.size() || form[field.size()] == '&');
}

std::string SessionTransport::renewed_form(const std::string& form) const {
  std::string rest = form.substr(opened_field_.size());
  if (renewed_field_.empty() && rest.starts_with('&')) rest.erase(0, 1);
  std::string renewed = renewed_field_ + rest;
  wipe_secret(rest);
  return renewed;
}

Scrubber SessionTransport::secrets() const {
  return Scrubber{settings_->password, opened_id_, renewed_id_};
}

SessionCache::Session SessionTransport::cached_session(
    Value& session, const std::string* stale) {
  return kept_->cache->session(
      kept_->target, *kept_->auth, kept_->trust,
      [&] {
        session = log_in(*settings_, "", *this);
        return std::string(session_text(session));
      },
      kept_->still_waiting, stale);
}

void SessionTransport::renew() {
  Value session;
  SessionCache::Session s = cached_session(session, &opened_id_);
  renewed_id_ = std::move(s.id);
  if (!s.logged_in) session = text_value(renewed_id_);
  renewed_field_ = session_field(session.node());
  renewed_ = true;
}

Reply SessionTransport::counted_login(const Request& request) {
  Reply reply;
  try {
    reply = inner_.post(request);
  } catch (const Error&) {
    if (count_login_) count_login_(false);
    throw;
  }
  if (count_login_) count_login_(accepts_login(reply));
  return reply;
}

Reply SessionTransport::post(const Request& request) {
  if (request.action == "login") return counted_login(request);
  if (!under_kept_session(request.form)) return inner_.post(request);
  if (!renewed_) {
    Reply reply = inner_.post(request);
    if (!refused(reply)) return reply;
    renew();
  }
  Request again = request;
  again.form = renewed_form(request.form);
  const WipedOnExit wiped(again.form);
  Reply reply = inner_.post(again);
  if (refused(reply)) throw refused_again(request, reply, secrets());
  return reply;
}

void SessionTransport::post_many(RequestBatch& batch, std::size_t in_flight) {
  if (in_flight <= 1) {
    Transport::post_many(batch, in_flight);  // through post
    return;
  }
  if (opened_field_.empty()) {
    inner_.post_many(batch, in_flight);
    return;
  }
  Batch kept(batch, *this);
  inner_.post_many(kept, in_flight);
  kept.send_again();
}

}  // namespace tarnwick
