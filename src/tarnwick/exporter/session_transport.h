// The session layer of a probe's transport: the probe's opening login, or
// a session kept from an earlier probe (exporter/session_cache.h); a request
// under a kept session that the controller refuses sent once more under a
// new one; and every login counted.
#ifndef TARNWICK_EXPORTER_SESSION_TRANSPORT_H_
#define TARNWICK_EXPORTER_SESSION_TRANSPORT_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "tarnwick/base/scrub.h"
#include "tarnwick/base/value.h"
#include "tarnwick/exporter/exporter_config.h"
#include "tarnwick/exporter/session_cache.h"
#include "tarnwick/wire/tls_trust.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

struct RunSettings;

// Where a probe's kept session comes from.
struct KeptSessions {
  SessionCache* cache = nullptr;
  std::string target;  // the controller address
  const Auth* auth = nullptr;
  TlsTrust trust;  // the probe's, for the target
  SessionCache::StillWaiting still_waiting;
};

class SessionTransport : public Transport {
 public:
  // Told of each login sent through it: whether the controller accepted it
  // (the reply is a JSON object with a member "CID", as log_in takes it).
  using CountLogin = std::function<void(bool accepted)>;

  // inner (the probe's transport), count_login (may be empty) and, when
  // not null, kept must outlive it.
  SessionTransport(Transport& inner, CountLogin count_login,
                   const KeptSessions* kept)
      : inner_(inner), count_login_(std::move(count_login)), kept_(kept) {}
  ~SessionTransport() override;
  SessionTransport(const SessionTransport&) = delete;
  SessionTransport& operator=(const SessionTransport&) = delete;

  // The session the probe's checks go on in: without kept sessions, a
  // login (check/session.h's log_in through this transport); with them,
  // the cache's. settings must outlive the transport. Throws as log_in
  // does, and what the cache's wait throws.
  Value open_session(const RunSettings& settings);

  // Sends the request. A request under a kept session that this probe did
  // not log in for (its form's CID first, as check/ builds forms) whose
  // reply is HTTP 401 or 403 is sent once more, under a session from a
  // login through the cache; the probe's requests after it go under that
  // session too. This happens once a probe: a refusal under the new
  // session throws Error(kHttpError), with or without fail_http. Throws
  // what the inner transport and the login throw.
  Reply post(const Request& request) override;
  // As post, for each request; those sent again go after the others, one
  // at a time.
  void post_many(RequestBatch& batch, std::size_t in_flight) override;

  // The session ids the probe sent: the opening one and the one it went on
  // in after a refusal; "" for none. For the probe's scrubber.
  std::string_view opened_id() const { return opened_id_; }
  std::string_view renewed_id() const { return renewed_id_; }

 private:
  class Batch;

  Reply counted_login(const Request& request);
  // Whether form is under the kept session, the one to renew.
  bool under_kept_session(const std::string& form) const;
  // form with the renewed session in place of the kept one.
  std::string renewed_form(const std::string& form) const;
  // The password and the session ids of the probe, to take out of what is
  // quoted of a reply.
  Scrubber secrets() const;
  // The cache's session for the probe's target and auth; a login it makes
  // leaves its reply's session in `session`. stale: the session refused.
  SessionCache::Session cached_session(Value& session,
                                       const std::string* stale);
  // Logs in again through the cache, the kept session being refused.
  void renew();

  Transport& inner_;
  const CountLogin count_login_;
  const KeptSessions* kept_;
  const RunSettings* settings_ = nullptr;
  std::string opened_id_;
  std::string opened_field_;  // "CID=..." of the kept session, "" for none
  bool renewed_ = false;
  std::string renewed_id_;
  std::string renewed_field_;
};

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_SESSION_TRANSPORT_H_
