#include "tarnwick/base/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/secret.h"

namespace tarnwick {
namespace {

// A first line longer than this is refused.
constexpr std::size_t kMaxLine = 64 * 1024;
constexpr std::size_t kBlock = 256;

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
  const std::string quoted = quote_text(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int error_number = errno;
    if (error_number == ENOENT) {
      throw Error(ErrorKind::kFileNotFound, "no such file: " + quoted);
    }
    throw Error(ErrorKind::kFileAccess, "cannot read " + quoted + ": " +
                                            errno_text(error_number, true));
  }
  FdCloser closer(fd);
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    throw Error(ErrorKind::kFileAccess,
                "cannot read " + quoted + ": " + errno_text(errno, true));
  }
  if (S_ISDIR(status.st_mode)) {
    throw Error(ErrorKind::kFileAccess, quoted + " is a directory");
  }
  if (S_ISREG(status.st_mode) && (status.st_mode & (S_IROTH | S_IWOTH)) != 0) {
    throw Error(ErrorKind::kFileAccess,
                quoted + " can be " +
                    ((status.st_mode & S_IROTH) != 0 ? "read" : "written") +
                    " by other users (mode " + mode_text(status.st_mode) +
                    "); chmod 600 it");
  }
  // Only the first line is wanted. A pipe is read a byte at a time, so that
  // it is not drained past that line (another reader may want the rest);
  // a regular file in blocks. The line is reserved whole up front, so that
  // growing it leaves no copy of the password behind in freed memory.
  const std::size_t block_size = S_ISREG(status.st_mode) ? kBlock : 1;
  std::string line;
  line.reserve(kMaxLine + kBlock);
  WipedOnExit wiped_line(line);
  std::string block(kBlock, '\0');
  WipedOnExit wiped_block(block);
  for (;;) {
    const ssize_t got = ::read(fd, block.data(), block_size);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Error(ErrorKind::kFileAccess,
                  "cannot read " + quoted + ": " + errno_text(errno, true));
    }
    if (got == 0) break;
    const std::string_view piece(block.data(), static_cast<std::size_t>(got));
    const std::size_t newline = piece.find('\n');
    line.append(piece.substr(0, newline));
    if (newline != std::string_view::npos) break;
    if (line.size() > kMaxLine) {
      throw Error(ErrorKind::kFileAccess,
                  quoted + " has a first line longer than 64 KiB");
    }
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    throw Error(ErrorKind::kFileAccess,
                quoted + " holds no password on its first line");
  }
  std::string secret(line);
  return secret;
}

}  // namespace tarnwick
