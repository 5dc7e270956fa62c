#include "tarnwick/base/output.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

#include "tarnwick/base/error.h"

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

void Output::write_past_buffer(std::string_view s) {
  if (fd_ < 0) {
    const std::size_t room = text_limit_ - std::min(text_limit_, text_.size());
    const std::size_t kept = std::min(s.size(), room);
    text_.append(s.substr(0, kept));
    dropped_ += s.size() - kept;
    return;
  }
  if (!buffer_) {
    // Not in the constructor: an Output that is never written to allocates
    // nothing.
    buffer_ = std::make_unique_for_overwrite<char[]>(kChunk);
    next_ = buffer_.get();
    end_ = next_ + kChunk;
  }
  // The buffer is filled up first, so that the descriptor gets whole chunks
  // however the writes fall.
  const std::size_t room = static_cast<std::size_t>(end_ - next_);
  const std::size_t head = std::min(s.size(), room);
  std::memcpy(next_, s.data(), head);
  next_ += head;
  s.remove_prefix(head);
  if (s.empty()) return;
  flush();
  if (s.size() >= kChunk) {
    // Copying a block this large would gain nothing.
    write_out(s);
    return;
  }
  std::memcpy(next_, s.data(), s.size());
  next_ += s.size();
}

void Output::flush() {
  if (fd_ < 0) return;
  const std::string_view pending(
      buffer_.get(), static_cast<std::size_t>(next_ - buffer_.get()));
  next_ = buffer_.get();
  write_out(pending);
}

void Output::write_out(std::string_view s) {
  const int err = write_all(fd_, s);
  if (err != 0) {
    throw OutputError(err, "cannot write the report: " + errno_text(err));
  }
}

}  // namespace tarnwick
