// Test-only helpers shared by the unit tests: temporary directories, the
// files in them, the working directory, and the golden tables of tests/data.
#ifndef TARNWICK_TESTS_TEST_UTIL_H_
#define TARNWICK_TESTS_TEST_UTIL_H_

#include <dirent.h>
#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tarnwick/base/output.h"
#include "tarnwick/base/value.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/json_writer.h"

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

// The records of a golden table, tests/data/NAME.jsonl: one JSON object per
// line, decoded by tarnwick's own decoder (the tables are replies to it as
// well). Read once per test binary. Throws std::runtime_error when the file
// cannot be read, so a missing table fails the test instead of passing it.
inline const std::vector<Value>& golden_table_for_test(
    const std::string& name) {
  static auto* tables = new std::map<std::string, std::vector<Value>>;
  auto [it, added] = tables->try_emplace(name);
  if (!added) return it->second;
  const std::string path =
      std::string(TARNWICK_TEST_DATA_DIR) + "/" + name + ".jsonl";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    tables->erase(it);
    throw std::runtime_error("cannot read " + path);
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) it->second.push_back(decode_json(line));
  }
  return it->second;
}

// The member `key` of a golden record; throws std::runtime_error when the
// record lacks it.
inline const Node& golden_member_for_test(const Node& record,
                                          std::string_view key) {
  const Node* value = record.find(key);
  if (value == nullptr) {
    throw std::runtime_error("golden record without " + std::string(key));
  }
  return *value;
}

// The text of member `key`, as a string.
inline std::string golden_text_for_test(const Node& record,
                                        std::string_view key) {
  return std::string(golden_member_for_test(record, key).text());
}

// v as the JSON Lines report writes it.
inline std::string json_for_test(const Node& v) {
  Output out(-1);
  write_json(v, out);
  return out.text();
}

}  // namespace tarnwick

#endif  // TARNWICK_TESTS_TEST_UTIL_H_
