#include "tarnwick/session.h"

#include <curl/curl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "tarnwick/error.h"
#include "tarnwick/json.h"
#include "tarnwick/literal.h"
#include "tarnwick/prompt.h"

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

bool is_kept_in_form(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '*' || c == '-' || c == '.' || c == '_';
}

void append_form_encoded(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : s) {
    if (is_kept_in_form(c)) {
      out.push_back(static_cast<char>(c));
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0f]);
    }
  }
}

// libcurl's messages can echo parts of the URL, which is operator input; the
// error report must stay one line.
std::string one_line(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
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

class CurlTransport : public Transport {
 public:
  CurlTransport() { init_ok_ = curl_global_init(CURL_GLOBAL_DEFAULT) == 0; }

  std::string post(const std::string& url, const std::string& form) override {
    if (!names_host(url)) {
      throw Error(ErrorKind::kConnection, "cannot reach " + quote_text(url) +
                                              ": the URL names no host");
    }
    std::unique_ptr<CURL, EasyDeleter> curl(init_ok_ ? curl_easy_init()
                                                     : nullptr);
    if (!curl) {
      throw Error(ErrorKind::kConnection,
                  "cannot start the HTTPS client for " + quote_text(url));
    }
    // "Expect:" with no value keeps libcurl from sending
    // "Expect: 100-continue", which costs a round trip on large forms.
    curl_slist* list = nullptr;
    for (const char* header :
         {"Content-Type: application/x-www-form-urlencoded", "Expect:"}) {
      curl_slist* longer = curl_slist_append(list, header);
      if (longer == nullptr) {
        curl_slist_free_all(list);
        throw Error(ErrorKind::kConnection,
                    "cannot start the HTTPS client for " + quote_text(url));
      }
      list = longer;
    }
    std::unique_ptr<curl_slist, SlistDeleter> headers(list);

    Reception reception{curl.get(), {}};
    char error_buffer[CURL_ERROR_SIZE] = "";
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_buffer);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    // Set the size first: the body is binary-safe only with an explicit size.
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(form.size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, form.data());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
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

    const CURLcode code = curl_easy_perform(c);
    if (reception.out_of_memory) {
      throw Error(ErrorKind::kConnection, "the reply from " + quote_text(url) +
                                              " is too large to hold");
    }
    if (code != CURLE_OK) {
      const std::string cause =
          one_line(error_buffer[0] ? error_buffer : curl_easy_strerror(code));
      // The whole reply arrived, but its Content-Encoding does not decode:
      // the controller answered, with a body that is no reply.
      if (code == CURLE_BAD_CONTENT_ENCODING) {
        throw Error(ErrorKind::kInvalidReply,
                    "the reply from " + quote_text(url) +
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
    return std::move(reception.body);
  }

 private:
  bool init_ok_ = false;
};

}  // namespace

std::string controller_api_url(std::string_view controller_ip) {
  std::string url = "https://";
  url.append(controller_ip);
  url.append("/v1/api");
  return url;
}

std::string encode_form(const std::vector<FormField>& fields) {
  // Sized exactly up front: growing would leave copies of the password
  // behind in memory the string outgrew.
  std::size_t size = fields.empty() ? 0 : fields.size() * 2 - 1;
  for (const FormField& field : fields) {
    for (std::string_view s :
         {std::string_view(field.name), std::string_view(field.value)}) {
      for (unsigned char c : s)
        size += (is_kept_in_form(c) || c == ' ') ? 1 : 3;
    }
  }
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out.push_back('&');
    append_form_encoded(out, fields[i].name);
    out.push_back('=');
    append_form_encoded(out, fields[i].value);
  }
  return out;
}

Transport& default_transport() {
  static CurlTransport transport;
  return transport;
}

Value get_orvantis_cid(const std::string& controller_ip,
                       const std::string& username, const std::string& password,
                       Transport& transport) {
  // The password is copied straight into its field (an initializer list
  // would leave one more copy behind), and the copies are cleared once the
  // form is sent.
  std::vector<FormField> fields(3);
  fields[0] = {"action", "login"};
  fields[1] = {"username", username};
  fields[2].name = "password";
  fields[2].value = password;
  std::string form = encode_form(fields);
  wipe_secret(fields[2].value);
  std::string body;
  try {
    body = transport.post(controller_api_url(controller_ip), form);
  } catch (...) {
    wipe_secret(form);
    throw;
  }
  wipe_secret(form);
  Value reply;
  try {
    reply = decode_json(std::move(body));
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kInvalidReply) throw;
  }
  const Node* cid = reply.node().is_map() ? reply.node().find("CID") : nullptr;
  if (cid == nullptr) {
    throw Error(ErrorKind::kLoginFailed,
                "the controller did not accept the login");
  }
  return reply.child(*cid);
}

}  // namespace tarnwick
