// Test-only helpers shared by the unit tests: temporary directories, the
// files in them, and the working directory.
#ifndef TARNWICK_TESTS_TEST_UTIL_H_
#define TARNWICK_TESTS_TEST_UTIL_H_

#include <dirent.h>
#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

namespace tarnwick {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the test ends, failed or not. path() is empty when
// the directory could not be made; tests ASSERT on it.
class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarnwick-test.XXXXXX")
            .string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~ScopedTempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  // name inside the directory ("" gives the directory with a final "/").
  std::string path(std::string_view name) const {
    return path_ + "/" + std::string(name);
  }

 private:
  std::string path_;
};

// Changes the working directory while it lives. Throws
// std::filesystem::filesystem_error when dir cannot be entered.
class ScopedWorkingDir {
 public:
  explicit ScopedWorkingDir(const std::string& dir)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedWorkingDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  ScopedWorkingDir(const ScopedWorkingDir&) = delete;
  ScopedWorkingDir& operator=(const ScopedWorkingDir&) = delete;

 private:
  std::filesystem::path previous_;
};

// Writes content to path, replacing what was there; true on success.
inline bool write_file_for_test(const std::string& path,
                                std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out.flush());
}

// How many file descriptors this process holds open (0 when /proc is not
// there), for spotting leaks.
inline std::size_t count_open_descriptors_for_test() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

}  // namespace tarnwick

#endif  // TARNWICK_TESTS_TEST_UTIL_H_
