#include "tarnwick/base/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "test_util.h"

namespace tarnwick {
namespace {

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicFileTest, TheDirectoryIsCheckedBeforeAnythingIsWritten) {
  ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  ASSERT_TRUE(write_file_for_test(dir.path("plain"), ""));
  std::filesystem::create_directory(dir.path("sub"));
  std::filesystem::create_directory(dir.path("locked"));
  chmod(dir.path("locked").c_str(), 0555);
  struct Row {
    std::string path;
    std::optional<ErrorKind> refused;
    std::string message;
  };
  const std::string quoted = "'" + dir.path() + "/";
  const std::vector<Row> rows = {
      {dir.path("m.prom"), std::nullopt, ""},
      {"m.prom", std::nullopt, ""},  // the working directory
      {dir.path("none/m.prom"), ErrorKind::kFileNotFound,
       "cannot write the metrics file " + quoted + "none/m.prom': directory " +
           quoted + "none': no such file or directory"},
      {dir.path("plain/m.prom"), ErrorKind::kFileAccess,
       "cannot write the metrics file " + quoted + "plain/m.prom': " + quoted +
           "plain' is not a directory"},
      {dir.path("sub"), ErrorKind::kFileAccess,
       "cannot write the metrics file " + quoted + "sub': it is a directory"},
      {dir.path("locked/m.prom"),
       // Permission bits do not stop root.
       geteuid() == 0 ? std::nullopt : std::optional(ErrorKind::kFileAccess),
       geteuid() == 0 ? ""
                      : "cannot write the metrics file " + quoted +
                            "locked/m.prom': directory " + quoted +
                            "locked': permission denied"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path);
    try {
      check_file_writable(r.path, "the metrics file");
      EXPECT_FALSE(r.refused);
    } catch (const Error& e) {
      EXPECT_EQ(r.refused, e.kind());
      EXPECT_EQ(e.what(), r.message);
    }
  }
  EXPECT_EQ(entries(dir.path()),
            (std::vector<std::string>{"locked", "plain", "sub"}));
}

TEST(AtomicFileTest, ReplacesTheFileWholeAndLeavesNoTemporaryFile) {
  ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = dir.path("m.prom");
  const mode_t mask = umask(027);
  write_file_atomically(path, "old\n", "the metrics file");
  // A reader holding the old file keeps it whole: the new one is another
  // file, not the old one written over.
  struct stat old_info;
  ASSERT_EQ(stat(path.c_str(), &old_info), 0);
  ASSERT_EQ(link(path.c_str(), dir.path("held").c_str()), 0);
  write_file_atomically(path, "new\n", "the metrics file");
  umask(mask);
  auto text_of = [](const std::string& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  EXPECT_EQ(text_of(path), "new\n");
  EXPECT_EQ(text_of(dir.path("held")), "old\n");
  ASSERT_EQ(unlink(dir.path("held").c_str()), 0);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_NE(info.st_ino, old_info.st_ino);
  EXPECT_EQ(info.st_mode & 0777, 0640u);  // 0666 less the umask
  // A file that cannot go in place (a directory is there) leaves nothing.
  std::filesystem::create_directory(dir.path("d.xml"));
  try {
    write_file_atomically(dir.path("d.xml"), "x", "the JUnit report");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kFileAccess);
    EXPECT_EQ(std::string(e.what()), "cannot write the JUnit report '" +
                                         dir.path("d.xml") +
                                         "': is a directory");
  }
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"d.xml", "m.prom"}));
}

}  // namespace
}  // namespace tarnwick
