#include "tarnwick/wire/curl_transport.h"

#include <curl/curl.h>

#include <memory>
#include <string>
#include <utility>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/wire/curl_batch.h"
#include "tarnwick/wire/curl_transfer.h"
#include "tarnwick/wire/tls_certificate.h"
#include "tarnwick/wire/tls_trust.h"

namespace tarnwick {

// The connections that requests with Request::reuse_connection leave open,
// the TLS sessions that reopened connections resume, and the name lookups,
// in one libcurl share. Connections still open close with it.
struct CurlTransport::Kept {
  CURLSH* share = nullptr;

  Kept() : share(curl_share_init()) {
    if (share == nullptr) return;
    for (curl_lock_data data : {CURL_LOCK_DATA_CONNECT,
                                CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_DNS})
      curl_share_setopt(share, CURLSHOPT_SHARE, data);
  }
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;
  ~Kept() { curl_share_cleanup(share); }
};

CurlTransport::CurlTransport(Clock& clock)
    : clock_(clock), trust_(std::make_unique<TlsTrust>()) {}

CurlTransport::~CurlTransport() = default;

bool CurlTransport::started() {
  if (!initialized_) {
    init_ok_ = curl_global_init(CURL_GLOBAL_DEFAULT) == 0;
    initialized_ = true;
  }
  return init_ok_;
}

CurlTransport::Kept& CurlTransport::kept() {
  if (!kept_) kept_ = std::make_unique<Kept>();
  return *kept_;
}

Reply CurlTransport::post(const Request& request) {
  if (!started()) {
    throw Error(ErrorKind::kConnection,
                "cannot start the HTTPS client for " + quote_text(request.url));
  }
  CurlTransfer transfer(request, clock_,
                        request.reuse_connection ? kept().share : nullptr,
                        *trust_);
  return transfer.finish(curl_easy_perform(transfer.handle()));
}

void CurlTransport::set_trust(const TlsTrust& trust) {
  if (trust == *trust_) return;
  kept_.reset();
  *trust_ = trust;
}

TlsCertificate CurlTransport::presented_certificate(const Request& request) {
  if (!started()) {
    throw Error(ErrorKind::kConnection,
                "cannot start the HTTPS client for " + quote_text(request.url));
  }
  CurlTransfer transfer(request, clock_, nullptr, *trust_);
  CURL* curl = transfer.handle();
  curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
  const CURLcode code = curl_easy_perform(curl);
  // A failed handshake throws as a request's would.
  if (code != CURLE_OK) transfer.finish(code);
  if (auto certificate = tarnwick::presented_certificate(curl))
    return std::move(*certificate);
  throw Error(ErrorKind::kConnection, "the controller at " +
                                          quote_text(request.url) +
                                          " presented no certificate");
}

void CurlTransport::post_many(RequestBatch& batch, std::size_t in_flight) {
  // One at a time, or without libcurl (each request then fails as post
  // fails), the requests go through post.
  if (in_flight <= 1 || !started()) {
    Transport::post_many(batch, in_flight);
    return;
  }
  send_batch(batch, in_flight, clock_, kept().share, *trust_);
}

std::string http_library_versions() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  std::string text = std::string("libcurl ") + info->version + "\n";
  if (info->ssl_version != nullptr)
    text += std::string(info->ssl_version) + "\n";
  return text;
}

Transport& process_curl_transport() {
  static SteadyClock clock;
  static CurlTransport transport(clock);
  return transport;
}

}  // namespace tarnwick
