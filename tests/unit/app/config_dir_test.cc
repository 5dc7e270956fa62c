#include "tarnwick/app/config_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "tarnwick/base/error.h"
#include "test_util.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

TEST(ConfigDirTest, BuiltBesideTheModulePath) {
  struct Case {
    const char* module_path;
    const char* expected;
  } cases[] = {
      {"/opt/tarnwick/bin/tarnwick", "/opt/tarnwick/bin/config"},
      {"/tarnwick", "/config"},  // directly under the root
      {"//tarnwick", "//config"},
      {"/opt//bin//tarnwick", "/opt//bin/config"},
      {"bin/tarnwick", "bin/config"},
      {"tarnwick", "config"},  // no directory part: relative
      {"", "config"},
      {"/opt/bin/", "/opt/bin/config"},
      {"./tarnwick", "./config"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(config_dir_beside(c.module_path), c.expected) << c.module_path;
  }
}

// The message of the failure for path, or "" when path is accepted.
std::string failure_for(const std::string& path) {
  try {
    EXPECT_EQ(require_default_config_dir(path), path);
    return "";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kFileNotFound) << path;
    return e.what();
  }
}

TEST(ConfigDirTest, DirectoryTestFollowsLinksAndKeepsThePathAsBuilt) {
  ScopedTempDir temp;
  ASSERT_FALSE(temp.path().empty());
  const std::string dir = temp.path("checks");
  const std::string file = temp.path("file");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_TRUE(write_file_for_test(file, "not a directory\n"));
  ASSERT_EQ(symlink(dir.c_str(), temp.path("link").c_str()), 0);
  ASSERT_EQ(symlink(temp.path("gone").c_str(), temp.path("dangling").c_str()),
            0);
  ASSERT_EQ(symlink(file.c_str(), temp.path("file_link").c_str()), 0);

  struct Case {
    std::string path;
    bool accepted;
  } cases[] = {
      {dir, true},
      {dir + "/", true},
      // The link's own path comes back, not its target.
      {temp.path("link"), true},
      {temp.path("dangling"), false},
      {file, false},
      {temp.path("file_link"), false},
      {temp.path("missing"), false},
      {file + "/config", false},  // a path through a regular file
  };
  for (const Case& c : cases) {
    std::string message = failure_for(c.path);
    if (c.accepted) {
      EXPECT_EQ(message, "") << c.path;
    } else {
      EXPECT_EQ(message, "Default config directory not found: " + c.path);
    }
  }
}

TEST(ConfigDirTest, RelativePathIsTestedAgainstTheWorkingDirectory) {
  ScopedTempDir temp;
  ASSERT_FALSE(temp.path().empty());
  ScopedWorkingDir cwd(temp.path());
  EXPECT_EQ(failure_for("config"),
            "Default config directory not found: config");
  ASSERT_EQ(mkdir("config", 0755), 0);
  EXPECT_EQ(failure_for(config_dir_beside("tarnwick")), "");
}

TEST(ConfigDirTest, DefaultIsBesideTheRunningExecutable) {
  std::string exe = own_executable_path();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe[0], '/');
  std::error_code ignored;
  EXPECT_TRUE(fs::equivalent(exe, "/proc/self/exe", ignored)) << exe;

  std::string expected = exe.substr(0, exe.rfind('/')) + "/config";
  struct stat info;
  bool present = stat(expected.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  try {
    EXPECT_EQ(get_default_config_dir(), expected);
    EXPECT_TRUE(present);
  } catch (const Error& e) {
    EXPECT_FALSE(present);
    EXPECT_EQ(std::string(e.what()),
              "Default config directory not found: " + expected);
  }
}

}  // namespace
}  // namespace tarnwick
