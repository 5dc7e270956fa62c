#include "tarnwick/curl_transport.h"

#include <curl/curl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "tarnwick/error.h"
#include "tarnwick/literal.h"
#include "tarnwick/text.h"

namespace tarnwick {

namespace {

// The declared length is reserved up front, so a large body is never copied
// (and held twice) while its string grows; reserved pages take no memory
// until the body fills them. A lying Content-Length is believed only this
// far; beyond it the string grows as the body arrives.
constexpr curl_off_t kMaxReserve = curl_off_t{1} << 30;

// A large body is written front to back as it arrives: on huge pages that
// costs one page fault per 2 MiB instead of one per 4 KiB. Best effort: where
// the system has no huge pages nothing changes.
void advise_huge_pages(std::string& body) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  if (body.capacity() < 4 * kHugePage) return;
  const auto start = reinterpret_cast<std::uintptr_t>(body.data());
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + body.capacity()) & ~(kHugePage - 1);
  if (end > begin) {
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
}

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

struct Reception {
  CURL* curl;
  std::string body;
  bool out_of_memory = false;
};

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
          advise_huge_pages(reception->body);
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

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

[[noreturn]] void fail_to_start(const std::string& url) {
  throw Error(ErrorKind::kConnection,
              "cannot start the HTTPS client for " + quote_text(url));
}

// "Expect:" with no value keeps libcurl from sending "Expect: 100-continue",
// which costs a round trip on large forms.
std::unique_ptr<curl_slist, SlistDeleter> request_headers(
    const std::string& url) {
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
  return std::unique_ptr<curl_slist, SlistDeleter>(list);
}

void set_options(CURL* c, const Request& request, curl_slist* headers,
                 Reception& reception, char* error_buffer) {
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  // Set the size first: the body is binary-safe only with an explicit size.
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(request.form.size()));
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.form.data());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  // Every request stands alone: no connection carried over, none left.
  curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
  // Any certificate is accepted, so no certificate store is loaded at all.
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(c, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
  // No time limit of our own; keep-alive probes end the wait for a peer
  // that has gone away.
  curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
  // A redirect would re-post the password elsewhere; its body is taken as
  // the reply instead.
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &reception);
}

[[noreturn]] void fail_transfer(const std::string& url, CURLcode code,
                                const char* error_buffer) {
  const std::string cause = curl_cause(error_buffer, code);
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
    // plain HTTP) do not say that the handshake is what failed.
    message = "TLS handshake with " + quote_text(url) + " failed: " + cause;
  } else {
    message = "request to " + quote_text(url) + " failed: " + cause;
  }
  throw Error(ErrorKind::kConnection, message);
}

// What libcurl learnt of the reply's head.
void read_head(CURL* c, Reply& reply) {
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
  const char* content_type = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &content_type) == CURLE_OK &&
      content_type != nullptr) {
    reply.content_type = content_type;
  }
  curl_off_t bytes = 0;
  if (curl_easy_getinfo(c, CURLINFO_SIZE_DOWNLOAD_T, &bytes) == CURLE_OK &&
      bytes > 0) {
    reply.bytes = static_cast<std::size_t>(bytes);
  }
}

}  // namespace

CurlTransport::CurlTransport(Clock& clock) : clock_(clock) {}

Reply CurlTransport::post(const Request& request) {
  const std::string& url = request.url;
  if (!names_host(url)) {
    throw Error(ErrorKind::kConnection,
                "cannot reach " + quote_text(url) + ": the URL names no host");
  }
  if (!initialized_) {
    init_ok_ = curl_global_init(CURL_GLOBAL_DEFAULT) == 0;
    initialized_ = true;
  }
  const Clock::TimePoint start = clock_.now();
  std::unique_ptr<CURL, EasyDeleter> curl(init_ok_ ? curl_easy_init()
                                                   : nullptr);
  if (!curl) fail_to_start(url);
  auto headers = request_headers(url);
  Reception reception{curl.get(), {}};
  char error_buffer[CURL_ERROR_SIZE] = "";
  set_options(curl.get(), request, headers.get(), reception, error_buffer);

  const CURLcode code = curl_easy_perform(curl.get());
  if (reception.out_of_memory) {
    throw Error(ErrorKind::kConnection,
                "the reply from " + quote_text(url) + " is too large to hold");
  }
  if (code != CURLE_OK) fail_transfer(url, code, error_buffer);
  Reply reply;
  read_head(curl.get(), reply);
  reply.body = std::move(reception.body);
  reply.elapsed = clock_.now() - start;
  return reply;
}

Transport& process_curl_transport() {
  static SteadyClock clock;
  static CurlTransport transport(clock);
  return transport;
}

}  // namespace tarnwick
