#include "tarnwick/base/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/output.h"

namespace tarnwick {

namespace {

// Room left in a file name (NAME_MAX is 255) for the temporary file's
// additions: the dot, ".PID-N.tmp".
constexpr std::size_t kMaxBaseName = 200;

// "out" for "out/x.prom", "/" for "/x.prom", "." for "x.prom".
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Error cannot_write(std::string_view what, const std::string& path,
                   const std::string& why,
                   ErrorKind kind = ErrorKind::kFileAccess) {
  return Error(kind, "cannot write " + std::string(what) + " " +
                         quote_text(path) + ": " + why);
}

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  TemporaryFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // Closes the descriptor; returns 0 or the errno of close.
  int close() {
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }
  void renamed() { path_.clear(); }

 private:
  std::string path_;
  int fd_;
};

}  // namespace

void check_file_writable(const std::string& path, std::string_view what) {
  const std::string dir = directory_of(path);
  struct stat info;
  if (::stat(dir.c_str(), &info) != 0) {
    const int err = errno;
    throw cannot_write(
        what, path,
        "directory " + quote_text(dir) + ": " + errno_text(err, true),
        err == ENOENT ? ErrorKind::kFileNotFound : ErrorKind::kFileAccess);
  }
  if (!S_ISDIR(info.st_mode)) {
    throw cannot_write(what, path, quote_text(dir) + " is not a directory");
  }
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    throw cannot_write(
        what, path,
        "directory " + quote_text(dir) + ": " + errno_text(errno, true));
  }
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    throw cannot_write(what, path, "it is a directory");
  }
}

void write_file_atomically(const std::string& path, std::string_view content,
                           std::string_view what) {
  const std::string prefix = directory_of(path) + "/." +
                             base_name_of(path).substr(0, kMaxBaseName) + "." +
                             std::to_string(::getpid()) + "-";
  int fd = -1;
  std::string temporary;
  for (int n = 0; fd < 0; ++n) {
    temporary = prefix + std::to_string(n) + ".tmp";
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                0666);
    if (fd < 0 && (errno != EEXIST || n == 100)) {
      throw cannot_write(what, path, errno_text(errno, true));
    }
  }
  TemporaryFile file(temporary, fd);
  if (const int err = write_all(file.fd(), content); err != 0) {
    throw cannot_write(what, path, errno_text(err, true));
  }
  // On disk before the rename, so that a crash cannot leave an empty file
  // in its place.
  if (::fsync(file.fd()) != 0) {
    throw cannot_write(what, path, errno_text(errno, true));
  }
  if (const int err = file.close(); err != 0) {
    throw cannot_write(what, path, errno_text(err, true));
  }
  if (::rename(file.path().c_str(), path.c_str()) != 0) {
    throw cannot_write(what, path, errno_text(errno, true));
  }
  file.renamed();
}

}  // namespace tarnwick
