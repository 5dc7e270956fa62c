#include "tarnwick/wire/tls_certificate.h"

#include <arpa/inet.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "tarnwick/base/error.h"

namespace tarnwick {

namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct NamesFree {
  void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

[[noreturn]] void fail_unreadable() {
  throw Error(ErrorKind::kConnection, "the certificate cannot be read");
}

// What OpenSSL wrote into a memory BIO.
std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : "";
}

// RFC 2253, with UTF-8 kept as it is rather than escaped byte by byte.
std::string name_text(const X509_NAME* name) {
  const Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0,
                                 XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
    return "";
  }
  return bio_text(bio.get());
}

std::string time_text(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return "";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string base64(const unsigned char* data, int size) {
  std::string text(static_cast<std::size_t>(4 * ((size + 2) / 3)), '\0');
  const int written = EVP_EncodeBlock(
      reinterpret_cast<unsigned char*>(text.data()), data, size);
  text.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return text;
}

std::string public_key_pin(X509* certificate) {
  unsigned char* der = nullptr;
  const int size = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
  if (size <= 0) fail_unreadable();
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int hash_size = 0;
  const int ok = EVP_Digest(der, static_cast<std::size_t>(size), hash,
                            &hash_size, EVP_sha256(), nullptr);
  OPENSSL_free(der);
  if (ok != 1) fail_unreadable();
  return "sha256//" + base64(hash, static_cast<int>(hash_size));
}

std::string fingerprint(X509* certificate) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), hash, &size) != 1)
    fail_unreadable();
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", hash[i]);
    text += pair;
  }
  return text;
}

std::string string_text(const ASN1_STRING* s) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                     static_cast<std::size_t>(ASN1_STRING_length(s)));
}

std::string address_text(const ASN1_OCTET_STRING* address) {
  const int size = ASN1_STRING_length(address);
  char text[INET6_ADDRSTRLEN] = "";
  if ((size != 4 && size != 16) ||
      inet_ntop(size == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(address),
                text, sizeof text) == nullptr) {
    return "?";
  }
  return text;
}

void read_alt_names(X509* certificate, TlsCertificate& result) {
  const std::unique_ptr<GENERAL_NAMES, NamesFree> names(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(
          certificate, NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return;
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    switch (name->type) {
      case GEN_DNS:
        result.names.push_back(string_text(name->d.dNSName));
        result.alt_names.push_back("DNS:" + result.names.back());
        break;
      case GEN_IPADD:
        result.names.push_back(address_text(name->d.iPAddress));
        result.alt_names.push_back("IP:" + result.names.back());
        break;
      case GEN_EMAIL:
        result.alt_names.push_back("email:" + string_text(name->d.rfc822Name));
        break;
      case GEN_URI:
        result.alt_names.push_back(
            "URI:" + string_text(name->d.uniformResourceIdentifier));
        break;
      default:
        break;  // directory names and the like: not for a host
    }
  }
}

void read_common_names(const X509_NAME* subject, TlsCertificate& result) {
  for (int i = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); i >= 0;
       i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) {
    unsigned char* utf8 = nullptr;
    const int size = ASN1_STRING_to_UTF8(
        &utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i)));
    if (size < 0) continue;
    result.names.emplace_back(reinterpret_cast<char*>(utf8),
                              static_cast<std::size_t>(size));
    OPENSSL_free(utf8);
  }
}

}  // namespace

TlsCertificate read_certificate(std::string_view pem) {
  const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) fail_unreadable();
  const std::unique_ptr<X509, X509Free> certificate(
      PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!certificate) fail_unreadable();
  X509* x = certificate.get();
  TlsCertificate result;
  result.pin = public_key_pin(x);
  result.subject = name_text(X509_get_subject_name(x));
  result.issuer = name_text(X509_get_issuer_name(x));
  result.not_before = time_text(X509_get0_notBefore(x));
  result.not_after = time_text(X509_get0_notAfter(x));
  read_alt_names(x, result);
  if (result.names.empty()) read_common_names(X509_get_subject_name(x), result);
  result.sha256_fingerprint = fingerprint(x);
  return result;
}

}  // namespace tarnwick
