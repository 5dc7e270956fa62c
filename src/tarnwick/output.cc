#include "tarnwick/output.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "tarnwick/error.h"

namespace tarnwick {

Output::~Output() {
  try {
    flush();
  } catch (const Error&) {
    // Nothing more can be reported from a destructor.
  }
}

void Output::flush() {
  if (fd_ < 0) return;
  std::size_t done = 0;
  while (done < buffer_.size()) {
    ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      buffer_.clear();
      throw OutputError(
          err, std::string("cannot write the report: ") + strerror(err));
    }
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
}

}  // namespace tarnwick
