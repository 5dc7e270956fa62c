#include "tarnwick/base/secret.h"

#include <string.h>

namespace tarnwick {

void wipe_secret(std::string& secret) {
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

}  // namespace tarnwick
