// Basic authentication against the users of a web configuration, as the
// Prometheus exporter toolkit does it: bcrypt hashes checked with
// libxcrypt, the checks that succeeded remembered (one costs tens of
// milliseconds), and an unknown user checked against a known user's hash
// (and refused) so that the time taken does not tell users that exist from
// others.
#ifndef TARNWICK_EXPORTER_BASIC_AUTH_H_
#define TARNWICK_EXPORTER_BASIC_AUTH_H_

#include <cstddef>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick {

// Names and bcrypt hashes.
using BasicAuthUsers = std::vector<std::pair<std::string, std::string>>;

// The checks that succeeded that are remembered at most.
inline constexpr std::size_t kBasicAuthCacheLimit = 100;

class BasicAuth {
 public:
  explicit BasicAuth(std::size_t cache_limit = kBasicAuthCacheLimit)
      : cache_limit_(cache_limit) {}

  // Whether `authorization`, an Authorization header's value (nullopt when
  // none was sent), names one of users with its password. Thread-safe.
  bool allows(const BasicAuthUsers& users,
              const std::optional<std::string>& authorization);

  // What allows() would answer when that is known without a bcrypt check
  // (no header, a malformed one, a check remembered); nullopt when only
  // allows() can tell. Thread-safe.
  std::optional<bool> allows_quickly(
      const BasicAuthUsers& users,
      const std::optional<std::string>& authorization);

  // How many checks are remembered; test-only.
  std::size_t cached_for_test() const;

 private:
  const std::size_t cache_limit_;
  mutable std::mutex mutex_;
  // Each a user, its hash and a digest of the password with that hash:
  // never the password.
  std::set<std::string> cache_;
};

// Whether password is the one of a bcrypt hash (libxcrypt's crypt_rn; the
// result compared in constant time).
bool bcrypt_matches(const std::string& password, const std::string& hash);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_BASIC_AUTH_H_
