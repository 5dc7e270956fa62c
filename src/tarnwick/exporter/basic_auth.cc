#include "tarnwick/exporter/basic_auth.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <strings.h>

#include <cstring>
#include <memory>

#include "tarnwick/base/secret.h"

namespace tarnwick {

namespace {

// The hash checked for a user that does not exist when there is no user,
// of a password nobody knows, at the cost htpasswd -B uses.
constexpr char kUnknownUserHash[] =
    "$2b$10$80P/OcbfZSGwn0efO0pWmeLhLs1LWWT/ZwXAAVgwLDIPSC5ZNI/IG";

// The user and password of "Basic BASE64(user:password)", or nullopt.
std::optional<std::pair<std::string, std::string>> credentials_of(
    const std::string& header) {
  constexpr std::string_view kScheme = "Basic ";
  if (header.size() <= kScheme.size() ||
      strncasecmp(header.c_str(), kScheme.data(), kScheme.size()) != 0)
    return std::nullopt;
  const std::string encoded = header.substr(kScheme.size());
  if (encoded.size() % 4 != 0 || encoded.size() > 4096) return std::nullopt;
  std::string decoded(encoded.size() / 4 * 3, '\0');
  const int n =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                      reinterpret_cast<const unsigned char*>(encoded.data()),
                      static_cast<int>(encoded.size()));
  if (n < 0) return std::nullopt;
  // EVP_DecodeBlock counts the bytes the padding stands for.
  std::size_t size = static_cast<std::size_t>(n);
  for (std::size_t i = encoded.size(); i > 0 && encoded[i - 1] == '='; --i)
    --size;
  decoded.resize(size);
  const std::size_t colon = decoded.find(':');
  // crypt takes a C string: a password with a NUL would be cut short.
  if (colon == std::string::npos || decoded.find('\0') != std::string::npos) {
    wipe_secret(decoded);
    return std::nullopt;
  }
  std::pair<std::string, std::string> result(decoded.substr(0, colon),
                                             decoded.substr(colon + 1));
  wipe_secret(decoded);
  return result;
}

// The key a successful check is remembered by.
std::string cache_key(const std::string& user, const std::string& hash,
                      const std::string& password) {
  std::string salted = hash + '\0' + password;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(salted.data(), salted.size(), digest, &length, EVP_sha256(),
             nullptr);
  wipe_secret(salted);
  return user + '\0' + hash + '\0' +
         std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

bool bcrypt_matches(const std::string& password, const std::string& hash) {
  // About 32 KiB: one per check, so that checks run in parallel.
  auto data = std::make_unique<crypt_data>();
  const char* out = crypt_rn(password.c_str(), hash.c_str(), data.get(),
                             static_cast<int>(sizeof(crypt_data)));
  const bool same = out != nullptr && std::strlen(out) == hash.size() &&
                    CRYPTO_memcmp(out, hash.data(), hash.size()) == 0;
  OPENSSL_cleanse(data.get(), sizeof(crypt_data));
  return same;
}

std::optional<bool> BasicAuth::allows_quickly(
    const BasicAuthUsers& users,
    const std::optional<std::string>& authorization) {
  if (!authorization) return false;
  auto credentials = credentials_of(*authorization);
  if (!credentials) return false;
  auto& [user, password] = *credentials;
  std::optional<bool> known;
  for (const auto& [name, stored] : users) {
    if (name != user) continue;
    const std::string key = cache_key(user, stored, password);
    std::lock_guard<std::mutex> lock(mutex_);
    if (cache_.contains(key)) known = true;
  }
  wipe_secret(password);
  return known;
}

bool BasicAuth::allows(const BasicAuthUsers& users,
                       const std::optional<std::string>& authorization) {
  if (!authorization) return false;
  auto credentials = credentials_of(*authorization);
  if (!credentials) return false;
  auto& [user, password] = *credentials;
  const std::string* hash = nullptr;
  for (const auto& [name, stored] : users) {
    if (name == user) hash = &stored;
  }
  if (hash == nullptr) {
    // Checked against a user's hash, at that hash's cost, and refused
    // whatever it gives: an unknown user takes as long as a known one.
    bcrypt_matches(password,
                   users.empty() ? kUnknownUserHash : users.front().second);
    wipe_secret(password);
    return false;
  }
  const std::string key = cache_key(user, *hash, password);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cache_.contains(key)) {
      wipe_secret(password);
      return true;
    }
  }
  const bool good = bcrypt_matches(password, *hash);
  wipe_secret(password);
  if (!good) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (cache_.size() >= cache_limit_) cache_.erase(cache_.begin());
  cache_.insert(key);
  return true;
}

std::size_t BasicAuth::cached_for_test() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cache_.size();
}

}  // namespace tarnwick
