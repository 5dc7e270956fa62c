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

CurlTransport::CurlTransport(Clock& clock, TransportOptions options)
    : clock_(clock), options_(std::move(options)), pool_(options_.pool) {}

CurlTransport::~CurlTransport() {
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
  if (kept_ != nullptr) pool_->give(kept_, options_.trust);
}

bool CurlTransport::started() {
  if (!initialized_) {
    init_ok_ = curl_global_init(CURL_GLOBAL_DEFAULT) == 0;
    initialized_ = true;
  }
  return init_ok_;
}

void* CurlTransport::kept() {
  if (!options_.reuse_connections) return nullptr;
  if (kept_ == nullptr) {
    if (!pool_) pool_ = std::make_shared<ConnectionPool>();
    kept_ = pool_->take(options_.trust);
  }
  return kept_;
}

void* CurlTransport::multi() {
  if (multi_ == nullptr) multi_ = curl_multi_init();
  return multi_;
}

Reply CurlTransport::post(const Request& request) {
  if (!started() || multi() == nullptr) {
    throw Error(ErrorKind::kConnection,
                "cannot start the HTTPS client for " + quote_text(request.url));
  }
  if (options_.cancellation != nullptr)
    options_.cancellation->throw_if_cancelled();
  CurlTransfer transfer(request, options_, clock_, kept());
  return transfer.finish(perform_alone(multi_, transfer.handle(), request.url,
                                       options_.cancellation));
}

TlsCertificate CurlTransport::presented_certificate(const Request& request) {
  if (!started()) {
    throw Error(ErrorKind::kConnection,
                "cannot start the HTTPS client for " + quote_text(request.url));
  }
  CurlTransfer transfer(request, options_, clock_, nullptr);
  CURL* curl = transfer.handle();
  curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
  const CURLcode code = curl_easy_perform(curl);
  // A cancelled or failed handshake throws as a request's would.
  if (code != CURLE_OK) {
    if (options_.cancellation != nullptr)
      options_.cancellation->throw_if_cancelled();
    transfer.finish(code);
  }
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
  send_batch(batch, in_flight, options_, clock_, kept());
}

// The connections that requests of a transport with reuse_connections leave
// open, the TLS sessions that reopened connections resume, and the name
// lookups, in one libcurl share. Connections still open close with it.
void* ConnectionPool::take(const TlsTrust& trust) {
  {
    std::lock_guard lock(mutex_);
    for (auto it = free_.rbegin(); it != free_.rend(); ++it) {
      if (it->first != trust) continue;
      void* share = it->second;
      free_.erase(std::next(it).base());
      return share;
    }
  }
  CURLSH* share = curl_share_init();
  if (share == nullptr) return nullptr;
  for (curl_lock_data data :
       {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_DNS})
    curl_share_setopt(share, CURLSHOPT_SHARE, data);
  return share;
}

void ConnectionPool::give(void* share, const TlsTrust& trust) {
  if (share == nullptr) return;
  std::lock_guard lock(mutex_);
  free_.emplace_back(trust, share);
}

ConnectionPool::~ConnectionPool() {
  for (const auto& [trust, share] : free_) curl_share_cleanup(share);
}

std::unique_ptr<Transport> CurlTransportFactory::make_transport(
    const TransportOptions& options) {
  return std::make_unique<CurlTransport>(clock_, options);
}

std::string http_library_versions() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  std::string text = std::string("libcurl ") + info->version + "\n";
  if (info->ssl_version != nullptr)
    text += std::string(info->ssl_version) + "\n";
  return text;
}

}  // namespace tarnwick
