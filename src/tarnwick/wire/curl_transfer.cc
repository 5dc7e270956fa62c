#include "tarnwick/wire/curl_transfer.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "tarnwick/base/error.h"
#include "tarnwick/base/huge_pages.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

// The declared length is reserved up front, so a large body is never copied
// (and held twice) while its string grows; reserved pages take no memory
// until the body fills them. A lying Content-Length is believed only this
// far; beyond it the string grows as the body arrives.
constexpr curl_off_t kMaxReserve = curl_off_t{1} << 30;

// The connect timeout that stands for none: a century.
constexpr long kNoConnectTimeoutMs = 1000L * 60 * 60 * 24 * 365 * 100;

// A kept connection idle for longer is not used again but closed: well under
// the keep-alive limits servers commonly set (5 s and more), so a request
// does not meet a connection that the controller is closing at that moment.
// libcurl 7.88 counts the idle time in whole seconds, so a connection idle
// for 3.9 s is still used: the bound is 4 s in effect.
constexpr long kMaxIdleSeconds = 3;

// A controller's audit log tells tarnwick apart by it.
constexpr const char* kUserAgent = "tarnwick/" TARNWICK_VERSION;

// libcurl's messages can echo parts of the URL, which is operator input; the
// error line escapes what they hold, and only trailing white space goes here.
std::string curl_cause(const char* error_buffer, CURLcode code) {
  std::string_view cause =
      error_buffer[0] ? error_buffer : curl_easy_strerror(code);
  return std::string(trim_white_space(cause));
}

// libcurl reads "https:///v1/api" as the host "v1"; a URL whose authority
// names no host must fail here instead of posting the password to whatever
// "v1" resolves to.
bool names_host(std::string_view url) {
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return true;  // libcurl decides
  std::string_view authority = url.substr(scheme_end + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const std::size_t at = authority.rfind('@');
  std::string_view host =
      at == std::string_view::npos ? authority : authority.substr(at + 1);
  if (!host.starts_with('[')) {
    const std::size_t colon = host.rfind(':');
    if (colon != std::string_view::npos &&
        host.find_first_not_of("0123456789", colon + 1) ==
            std::string_view::npos) {
      host = host.substr(0, colon);
    }
  }
  return !host.empty();
}

// Reply header lines count as progress: a reply may stall before its body.
std::size_t note_header(char*, std::size_t size, std::size_t count,
                        void* user) {
  ++static_cast<Reception*>(user)->activity;
  return size * count;
}

// Ends the transfer once the run is cancelled, and once the request is sent
// and a whole limit passes without a byte either way. libcurl's own
// low-speed limit averages over whole seconds, so the watch keeps its own
// time, on a monotonic clock.
int watch_progress(void* user, curl_off_t, curl_off_t received, curl_off_t,
                   curl_off_t uploaded) {
  auto* r = static_cast<Reception*>(user);
  if (r->cancellation != nullptr && r->cancellation->cancelled()) return 1;
  if (r->clock == nullptr) return 0;
  const Clock::TimePoint now = r->clock->now();
  const std::uint64_t seen = r->activity +
                             static_cast<std::uint64_t>(received) +
                             static_cast<std::uint64_t>(uploaded);
  if (!r->sent) {
    // Until the request goes out, the connect timeout watches. A request on
    // a kept connection has no connect phase: what it has sent shows that
    // it is on its way, should the pretransfer time read 0.
    curl_off_t pretransfer = 0;
    if (uploaded <= 0 &&
        (curl_easy_getinfo(r->curl, CURLINFO_PRETRANSFER_TIME_T,
                           &pretransfer) != CURLE_OK ||
         pretransfer <= 0)) {
      return 0;
    }
    r->sent = true;
  } else if (seen == r->last_seen) {
    if (now - r->last_progress < r->limit) return 0;
    r->stalled = true;
    return 1;
  }
  r->last_seen = seen;
  r->last_progress = now;
  return 0;
}

// Exceptions must not cross libcurl's C frames: a failed allocation is
// recorded and the transfer aborted by returning a short count.
std::size_t collect_body(char* data, std::size_t size, std::size_t count,
                         void* user) {
  auto* reception = static_cast<Reception*>(user);
  const std::size_t bytes = size * count;
  try {
    if (reception->body.empty()) {
      curl_off_t length = -1;
      if (curl_easy_getinfo(reception->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                            &length) == CURLE_OK &&
          length > 0) {
        try {
          reception->body.reserve(
              static_cast<std::size_t>(std::min(length, kMaxReserve)));
          advise_huge_pages(reception->body.data(), reception->body.capacity());
        } catch (const std::bad_alloc&) {
          // Not that much at once: the string grows as the body arrives.
        }
      }
    }
    reception->body.append(data, bytes);
  } catch (const std::bad_alloc&) {
    reception->out_of_memory = true;
    return 0;
  } catch (const std::length_error&) {
    reception->out_of_memory = true;
    return 0;
  }
  return bytes;
}

bool is_unreachable(CURLcode code) {
  return code == CURLE_URL_MALFORMAT || code == CURLE_COULDNT_RESOLVE_HOST ||
         code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_COULDNT_CONNECT;
}

[[noreturn]] void fail_to_start(const std::string& url) {
  throw Error(ErrorKind::kConnection,
              "cannot start the HTTPS client for " + quote_text(url));
}

// "Expect:" with no value keeps libcurl from sending "Expect: 100-continue",
// which costs a round trip on large forms.
curl_slist* request_headers(const std::string& url) {
  curl_slist* list = nullptr;
  for (const char* header :
       {"Content-Type: application/x-www-form-urlencoded", "Expect:"}) {
    curl_slist* longer = curl_slist_append(list, header);
    if (longer == nullptr) {
      curl_slist_free_all(list);
      fail_to_start(url);
    }
    list = longer;
  }
  return list;
}

// How the request treats connections: its own, opened and closed; or one
// kept in `kept` for the requests of the run.
void set_connection_options(CURL* c, CURLSH* kept) {
  if (kept == nullptr) {
    // Every request stands alone: no connection carried over, none left.
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
    return;
  }
  // The share keeps the connections, and the TLS sessions that a reopened
  // connection resumes with one round trip less.
  curl_easy_setopt(c, CURLOPT_SHARE, kept);
  curl_easy_setopt(c, CURLOPT_MAXAGE_CONN, kMaxIdleSeconds);
  // HTTP/2 where the controller offers it by ALPN, HTTP/1.1 otherwise.
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
#if LIBCURL_VERSION_NUM >= 0x081000
  // A request whose kept connection dies before the first byte of the reply
  // fails instead of going out again on a new one: the controller may have
  // acted on it. libcurl before 8.16 has no such option and sends it again.
  curl_easy_setopt(c, CURLOPT_FORBID_RETRY_ON_REUSE, 1L);
#endif
}

// Connecting (the name resolved, the connection made, the TLS handshake
// done) may take as long as the limit, or without one as long as the
// connection allows: libcurl's own default would end it after 300 s.
long connect_timeout_ms(const TransportOptions& options) {
  if (options.timeout) return static_cast<long>(options.timeout->count());
  return kNoConnectTimeoutMs;
}

void set_options(CURL* c, const Request& request,
                 const TransportOptions& options, curl_slist* headers,
                 Reception& reception, char* error_buffer) {
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  // Set the size first: the body is binary-safe only with an explicit size.
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(request.form.size()));
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.form.data());
  // The form is sent from where it lies: libcurl's upload buffer, one per
  // transfer (64 KB by default, a lot for a request side by side with 63
  // others), gets the least it takes.
  curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 16384L);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
  // Keep-alive probes end the wait for a peer that has gone away.
  curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connect_timeout_ms(options));
  if (options.timeout || options.cancellation != nullptr) {
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, watch_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &reception);
  }
  if (options.timeout) {
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, note_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &reception);
  }
  curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
  // A redirect would re-post the password elsewhere; its body is taken as
  // the reply instead.
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &reception);
}

// "30 s", "2.5 s", "0.001 s".
std::string seconds_text(std::chrono::milliseconds limit) {
  std::string text = std::to_string(limit.count() / 1000);
  if (const auto ms = limit.count() % 1000) {
    std::string fraction = std::to_string(1000 + ms).substr(1);
    while (fraction.back() == '0') fraction.pop_back();
    text += "." + fraction;
  }
  return text + " s";
}

// A request that overran its limit, named by the phase it was in.
[[noreturn]] void fail_timeout(const Request& request,
                               std::chrono::milliseconds timeout,
                               const Reception& reception, CURL* c) {
  const std::string url = quote_text(request.url);
  const std::string limit = seconds_text(timeout);
  if (!reception.sent) {
    throw Error(ErrorKind::kTimeout,
                "no connection to " + url + " within " + limit);
  }
  curl_off_t received = 0;
  curl_easy_getinfo(c, CURLINFO_SIZE_DOWNLOAD_T, &received);
  if (received == 0 && reception.activity == 0) {
    throw Error(ErrorKind::kTimeout, "no reply from " + url + " for " + limit);
  }
  throw Error(ErrorKind::kTimeout,
              "the reply from " + url + " stopped for " + limit + " after " +
                  counted(static_cast<std::size_t>(received), "byte"));
}

[[noreturn]] void fail_transfer(const std::string& url, CURLcode code,
                                const char* error_buffer) {
  std::string cause = curl_cause(error_buffer, code);
  // The whole reply arrived, but its Content-Encoding does not decode: the
  // controller answered, with a body that is no reply.
  if (code == CURLE_BAD_CONTENT_ENCODING) {
    throw Error(ErrorKind::kInvalidReply, "the reply from " + quote_text(url) +
                                              " cannot be decoded: " + cause);
  }
  std::string message;
  if (is_unreachable(code)) {
    message = "cannot reach " + quote_text(url) + ": " + cause;
  } else if (code == CURLE_SSL_CONNECT_ERROR) {
    // OpenSSL's own words ("wrong version number" for a port that speaks
    // plain HTTP) do not say that the handshake is what failed, nor why.
    if (cause.find("wrong version number") != std::string::npos)
      cause += "; does this port speak plain HTTP?";
    message = "TLS handshake with " + quote_text(url) + " failed: " + cause;
  } else {
    message = "request to " + quote_text(url) + " failed: " + cause;
  }
  throw Error(ErrorKind::kConnection, message);
}

// What libcurl learnt of the reply's head and of the connection.
void read_head(CURL* c, bool reuses_connections, Reply& reply) {
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
  const char* content_type = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &content_type) == CURLE_OK &&
      content_type != nullptr) {
    reply.content_type = content_type;
  }
  const char* location = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location) == CURLE_OK &&
      location != nullptr) {
    reply.location = location;
  }
  curl_off_t bytes = 0;
  if (curl_easy_getinfo(c, CURLINFO_SIZE_DOWNLOAD_T, &bytes) == CURLE_OK &&
      bytes > 0) {
    reply.bytes = static_cast<std::size_t>(bytes);
  }
  if (!reuses_connections) return;
  // No connection opened for this transfer: it went over a kept one.
  long connects = 1;
  reply.connection =
      curl_easy_getinfo(c, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK &&
              connects == 0
          ? Reply::Connection::kReused
          : Reply::Connection::kNew;
}

}  // namespace

CurlTransfer::CurlTransfer(const Request& request,
                           const TransportOptions& options, Clock& clock,
                           CURLSH* kept)
    : request_(request),
      options_(options),
      reuses_(kept != nullptr),
      clock_(clock),
      start_(clock.now()) {
  const std::string& url = request.url;
  if (!names_host(url)) {
    throw Error(ErrorKind::kConnection,
                "cannot reach " + quote_text(url) + ": the URL names no host");
  }
  curl_ = curl_easy_init();
  if (curl_ == nullptr) fail_to_start(url);
  try {
    headers_ = request_headers(url);
  } catch (...) {
    curl_easy_cleanup(curl_);
    throw;
  }
  reception_.curl = curl_;
  reception_.cancellation = options.cancellation;
  if (options.timeout) {
    reception_.clock = &clock_;
    reception_.limit = *options.timeout;
  }
  set_options(curl_, request, options, headers_, reception_, error_buffer_);
  apply_tls_trust(curl_, options.trust);
  set_connection_options(curl_, kept);
}

CurlTransfer::~CurlTransfer() {
  curl_easy_cleanup(curl_);
  curl_slist_free_all(headers_);
}

Reply CurlTransfer::finish(CURLcode code) {
  const std::string& url = request_.url;
  if (reception_.out_of_memory) {
    throw Error(ErrorKind::kConnection,
                "the reply from " + quote_text(url) + " is too large to hold");
  }
  if (reception_.stalled ||
      (code == CURLE_OPERATION_TIMEDOUT && options_.timeout)) {
    fail_timeout(request_, *options_.timeout, reception_, curl_);
  }
  if (code != CURLE_OK) {
    if (auto refused = trust_failure(curl_, code, options_.trust, url))
      throw *refused;
    fail_transfer(url, code, error_buffer_);
  }
  Reply reply;
  read_head(curl_, reuses_, reply);
  reply.body = std::move(reception_.body);
  reply.elapsed = clock_.now() - start_;
  return reply;
}

}  // namespace tarnwick
