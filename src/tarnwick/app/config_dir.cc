#include "tarnwick/app/config_dir.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tarnwick/base/error.h"

namespace tarnwick {

namespace {

constexpr std::string_view kConfigName = "config";
// Far beyond PATH_MAX; only guards the growing buffer below.
constexpr std::size_t kMaxPathBytes = 1 << 20;

}  // namespace

std::string config_dir_beside(std::string_view module_path) {
  std::size_t slash = module_path.rfind('/');
  std::string_view dir = slash == std::string_view::npos
                             ? std::string_view()
                             : module_path.substr(0, slash + 1);
  std::size_t last = dir.find_last_not_of('/');
  // "/" and "//" stay as they are: a file under the root lives in the root.
  if (last != std::string_view::npos) dir = dir.substr(0, last + 1);
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  path += kConfigName;
  return path;
}

std::string require_default_config_dir(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return path;
  throw Error(ErrorKind::kFileNotFound,
              "Default config directory not found: " + path);
}

std::string own_executable_path() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      throw Error(ErrorKind::kFileNotFound,
                  std::string("cannot find the running executable: ") +
                      errno_text(errno));
    }
    // A result that fills the buffer may have been cut short.
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    }
    if (buffer.size() >= kMaxPathBytes) {
      throw Error(ErrorKind::kFileNotFound,
                  "cannot find the running executable: its path is too long");
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string get_default_config_dir() {
  return require_default_config_dir(config_dir_beside(own_executable_path()));
}

}  // namespace tarnwick
