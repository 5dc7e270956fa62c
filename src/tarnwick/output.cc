#include "tarnwick/output.h"

#include <errno.h>
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

int write_all(int fd, std::string_view s) {
  while (!s.empty()) {
    ssize_t n = ::write(fd, s.data(), s.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    s.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

void Output::flush() {
  if (fd_ < 0) return;
  const int err = write_all(fd_, buffer_);
  buffer_.clear();
  if (err != 0) {
    throw OutputError(err, "cannot write the report: " + errno_text(err));
  }
}

}  // namespace tarnwick
