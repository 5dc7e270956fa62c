#include "tarnwick/wire/tls_trust.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tarnwick/base/literal.h"
#include "tarnwick/wire/tls_certificate.h"

namespace tarnwick {

namespace {

constexpr std::string_view kPinPrefix = "sha256//";

// How many of a certificate's names a message lists at most.
constexpr std::size_t kNamesShown = 10;

// 43 base64 digits and '=' stand for 32 bytes exactly when the last digit
// carries no bits beyond them.
bool is_pin(std::string_view pin) {
  constexpr std::string_view kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (!pin.starts_with(kPinPrefix)) return false;
  const std::string_view hash = pin.substr(kPinPrefix.size());
  return hash.size() == 44 && hash[43] == '=' &&
         hash.substr(0, 43).find_first_not_of(kDigits) ==
             std::string_view::npos &&
         std::string_view("AEIMQUYcgkosw048").find(hash[42]) !=
             std::string_view::npos;
}

// The host of url as libcurl reads it ("10.0.0.1", "[::1]"), or "".
std::string url_host(const std::string& url) {
  CURLU* parsed = curl_url();
  std::string host;
  char* part = nullptr;
  if (parsed != nullptr &&
      curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK) {
    host = part;
  }
  curl_free(part);
  curl_url_cleanup(parsed);
  return host;
}

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'", past kNamesShown "'a', ...,
// 'j' and 3 more".
std::string quoted_names(const std::vector<std::string>& names) {
  const std::size_t shown = std::min(names.size(), kNamesShown);
  std::string text;
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) text += i + 1 == shown && shown == names.size() ? " and " : ", ";
    text += quote_text(names[i]);
  }
  if (names.size() > shown)
    text += " and " + std::to_string(names.size() - shown) + " more";
  return text;
}

// Why the certificate did not verify against the CA file. The chain is
// verified during the handshake, which then ends before libcurl reads the
// certificate, so only OpenSSL's verdict names what failed; the names are
// compared after a handshake that succeeded, with the certificate at hand.
std::string why_not_verified(CURL* curl, const std::string& url) {
  if (const auto certificate = presented_certificate(curl)) {
    if (certificate->names.empty())
      return "the certificate names no host, not " + quote_text(url_host(url));
    return "the certificate is for " + quoted_names(certificate->names) +
           ", not " + quote_text(url_host(url));
  }
  long result = X509_V_OK;
  curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &result);
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "the certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "the certificate is not valid yet";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return "the certificate's issuer is unknown: no certificate of that "
             "file signed it";
    case X509_V_OK:  // but libcurl did not read the certificate
      return "the certificate does not verify";
    default:
      return std::string("the certificate does not verify: ") +
             X509_verify_cert_error_string(result);
  }
}

}  // namespace

bool is_pin_list(std::string_view pins) {
  for (;;) {
    const std::size_t end = pins.find(';');
    if (!is_pin(pins.substr(0, end))) return false;
    if (end == std::string_view::npos) return true;
    pins.remove_prefix(end + 1);
  }
}

void check_ca_file(const std::string& path) {
  const std::string quoted = quote_text(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT)
      throw Error(ErrorKind::kFileNotFound, "no such file: " + quoted);
    throw Error(ErrorKind::kFileAccess,
                "cannot read " + quoted + ": " + errno_text(error, true));
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    // libcurl reads it anew for every connection.
    throw Error(ErrorKind::kFileAccess,
                "cannot read " + quoted + ": not a regular file");
  }
  const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_fd(fd, BIO_CLOSE),
                                                      &BIO_free);
  if (!bio) {
    ::close(fd);
    throw Error(ErrorKind::kFileAccess, "cannot read " + quoted);
  }
  X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
  ERR_clear_error();
  if (certificate == nullptr) {
    throw Error(ErrorKind::kFileAccess,
                quoted + " holds no certificate in PEM form");
  }
  X509_free(certificate);
}

void apply_tls_trust(CURL* curl, const TlsTrust& trust) {
  if (trust.ca_file.empty()) {
    // Any certificate passes the chain and name checks, so no certificate
    // store is loaded at all.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
  } else {
    // The file alone: no directory of certificates, no system store.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_CAINFO, trust.ca_file.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  if (!trust.pinned_public_keys.empty()) {
    curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY,
                     trust.pinned_public_keys.c_str());
  }
  // libcurl reads the certificate before it compares the key and the
  // names, so a failure can say what the controller presented.
  if (!trust.verifies_nothing()) curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
}

std::optional<Error> trust_failure(CURL* curl, CURLcode code,
                                   const TlsTrust& trust,
                                   const std::string& url) {
  if (trust.verifies_nothing()) return std::nullopt;
  const std::string controller = "the controller at " + quote_text(url);
  std::string message;
  if (code == CURLE_SSL_PINNEDPUBKEYNOTMATCH) {
    const auto certificate = presented_certificate(curl);
    message = controller + " presented " +
              (certificate ? "key " + certificate->pin + ", which matches"
                           : std::string("a key that matches")) +
              " no --tls-pin";
  } else if (code == CURLE_PEER_FAILED_VERIFICATION && !trust.ca_file.empty()) {
    message = controller + " failed --tls-ca " + quote_text(trust.ca_file) +
              ": " + why_not_verified(curl, url);
  } else if (code == CURLE_SSL_CACERT_BADFILE && !trust.ca_file.empty()) {
    message = controller + " cannot be verified: the certificates of " +
              quote_text(trust.ca_file) + " cannot be loaded";
  } else {
    return std::nullopt;
  }
  return Error(ErrorKind::kConnection, message + "; nothing was sent")
      .ending_the_run();
}

std::optional<TlsCertificate> presented_certificate(CURL* curl) {
  curl_certinfo* info = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &info) != CURLE_OK ||
      info == nullptr || info->num_of_certs < 1) {
    return std::nullopt;
  }
  // The server's own certificate comes first, its chain after it.
  for (const curl_slist* item = info->certinfo[0]; item != nullptr;
       item = item->next) {
    const std::string_view field(item->data);
    if (!field.starts_with("Cert:")) continue;
    try {
      return read_certificate(field.substr(5));
    } catch (const Error&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace tarnwick
