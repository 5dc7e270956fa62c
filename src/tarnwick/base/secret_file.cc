#include "tarnwick/base/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "tarnwick/base/error.h"
#include "tarnwick/base/secret.h"

namespace tarnwick {
namespace {

// Closes the descriptor however the reading ends.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser() { ::close(fd_); }

 private:
  int fd_;
};

std::string mode_text(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

std::string read_secret_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int error_number = errno;
    if (error_number == ENOENT) {
      throw Error(ErrorKind::kFileNotFound, "'" + path + "' does not exist");
    }
    throw Error(ErrorKind::kFileAccess, "'" + path + "' cannot be opened: " +
                                            errno_text(error_number, true));
  }
  FdCloser closer(fd);
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    throw Error(ErrorKind::kFileAccess,
                "'" + path + "' cannot be read: " + errno_text(errno, true));
  }
  if (S_ISDIR(status.st_mode)) {
    throw Error(ErrorKind::kFileAccess, "'" + path + "' is a directory");
  }
  if (S_ISREG(status.st_mode) && (status.st_mode & (S_IROTH | S_IWOTH)) != 0) {
    throw Error(ErrorKind::kFileAccess,
                "'" + path + "' can be " +
                    ((status.st_mode & S_IROTH) != 0 ? "read" : "written") +
                    " by other users (mode " + mode_text(status.st_mode) +
                    "); chmod 600 it");
  }
  // Only the first line is wanted: read until its newline, a byte at a
  // time past a small block, so that a pipe is not drained further than
  // needed and a huge file is not held.
  std::string line;
  WipedOnExit wiped(line);
  char block[256];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Error(ErrorKind::kFileAccess,
                  "'" + path + "' cannot be read: " + errno_text(errno, true));
    }
    if (got == 0) break;
    const std::string_view piece(block, static_cast<std::size_t>(got));
    const std::size_t newline = piece.find('\n');
    line.append(piece.substr(0, newline));
    if (newline != std::string_view::npos) break;
    if (line.size() > 64 * 1024) {
      throw Error(ErrorKind::kFileAccess,
                  "'" + path + "' has a first line longer than 64 KiB");
    }
  }
  std::fill(std::begin(block), std::end(block), '\0');
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    throw Error(ErrorKind::kFileAccess,
                "'" + path + "' holds no password on its first line");
  }
  std::string secret(line);
  return secret;
}

}  // namespace tarnwick
