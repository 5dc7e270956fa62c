// The real file system under the exporter's configuration.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/secret_file.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/exporter/exporter_config.h"
#include "tarnwick/suite/suite_run.h"

namespace tarnwick {

namespace {

// Closes a file descriptor however the scope is left.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void fail(const std::string& path, int err) {
  throw Error(err == ENOENT ? ErrorKind::kFileNotFound : ErrorKind::kFileAccess,
              "cannot read " + quote_text(path) + ": " + errno_text(err, true));
}

// The opened file at path, which must be a regular file.
int open_regular(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) fail(path, errno);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    throw Error(ErrorKind::kFileAccess,
                "cannot read " + quote_text(path) + ": not a regular file");
  }
  return fd;
}

}  // namespace

std::string RealConfigFiles::read_secret(const std::string& path) {
  return read_secret_file(path);
}

std::string RealConfigFiles::read_text(const std::string& path) {
  const FileDescriptor fd(open_regular(path));
  std::string text;
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(path, errno);
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxConfigBytes) {
      throw Error(ErrorKind::kFileAccess,
                  "cannot read " + quote_text(path) + ": over " +
                      std::to_string(kMaxConfigBytes) + " bytes");
    }
  }
  return text;
}

void RealConfigFiles::check_file(const std::string& path) {
  const FileDescriptor fd(open_regular(path));
}

std::size_t RealConfigFiles::check_checks(
    const std::string& dir, const std::vector<std::string>& only) {
  if (only.empty()) return list_checks(dir).size();
  for (const std::string& name : only)
    CheckFile::check_readable(join_check_path(dir, name));
  return only.size();
}

}  // namespace tarnwick
