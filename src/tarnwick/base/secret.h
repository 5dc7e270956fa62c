// Secrets in memory: the password and the forms that carry it.
#ifndef TARNWICK_BASE_SECRET_H_
#define TARNWICK_BASE_SECRET_H_

#include <string>

namespace tarnwick {

// Overwrites the bytes of a secret with zeros, in a way the compiler keeps,
// and empties it; copies the string made before are not reached.
void wipe_secret(std::string& secret);

// Wipes a secret when it goes out of scope, however the scope is left.
class WipedOnExit {
 public:
  explicit WipedOnExit(std::string& secret) : secret_(secret) {}
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;
  ~WipedOnExit() { wipe_secret(secret_); }

 private:
  std::string& secret_;
};

}  // namespace tarnwick

#endif  // TARNWICK_BASE_SECRET_H_
