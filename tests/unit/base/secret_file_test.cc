#include "tarnwick/base/secret_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tarnwick/base/error.h"
#include "test_util.h"

namespace tarnwick {
namespace {

// What read_secret_file gives: the password, or "KIND: MESSAGE" with the
// file's path written as PATH.
std::string outcome_of(const std::string& path) {
  try {
    return read_secret_file(path);
  } catch (const Error& e) {
    std::string message = e.what();
    const std::string quoted = "'" + path + "'";
    if (const auto at = message.find(quoted); at != std::string::npos)
      message.replace(at, quoted.size(), "'PATH'");
    return std::string(error_kind_name(e.kind())) + ": " + message;
  }
}

TEST(SecretFileTest, FirstLineOfAFileOnlyItsOwnerMayRead) {
  struct Case {
    const char* name;
    std::string content;
    mode_t mode;
    std::string expected;
  };
  const Case cases[] = {
      {"one line", "pw\n", 0600, "pw"},
      {"no line end", "pw", 0400, "pw"},
      {"later lines ignored", "pw\nsecond\n", 0600, "pw"},
      {"carriage return dropped", "p w\r\n", 0600, "p w"},
      // Only the one before the line feed.
      {"inner carriage return kept", "p\rw\r\r\n", 0600, "p\rw\r"},
      {"blanks kept", " pw \n", 0600, " pw "},
      {"group may read", "pw\n", 0640, "pw"},
      {"others may read", "pw\n", 0644,
       "file access error: 'PATH' can be read by other users (mode 0644); "
       "chmod 600 it"},
      {"others may write", "pw\n", 0602,
       "file access error: 'PATH' can be written by other users (mode 0602); "
       "chmod 600 it"},
      {"empty file", "", 0600,
       "file access error: 'PATH' holds no password on its first line"},
      {"empty first line", "\npw\n", 0600,
       "file access error: 'PATH' holds no password on its first line"},
      {"carriage return alone", "\r\n", 0600,
       "file access error: 'PATH' holds no password on its first line"},
      {"first line too long", std::string(70000, 'x'), 0600,
       "file access error: 'PATH' has a first line longer than 64 KiB"},
  };
  ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  for (const Case& c : cases) {
    const std::string path = dir.path(c.name);
    ASSERT_TRUE(write_file_for_test(path, c.content));
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    EXPECT_EQ(outcome_of(path), c.expected) << c.name;
  }
  EXPECT_EQ(outcome_of(dir.path("missing")),
            "file not found: no such file: 'PATH'");
  EXPECT_EQ(outcome_of(dir.path()), "file access error: 'PATH' is a directory");
}

// A pipe (process substitution, /dev/fd/N) is read only up to the end of
// the first line: the rest stays in it for whoever reads on.
TEST(SecretFileTest, PipeIsReadUpToItsFirstLineOnly) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string text = "pw\r\nrest";
  ASSERT_EQ(write(ends[1], text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  close(ends[1]);
  EXPECT_EQ(outcome_of("/dev/fd/" + std::to_string(ends[0])), "pw");
  char rest[8] = "";
  EXPECT_EQ(read(ends[0], rest, sizeof rest), 4);
  EXPECT_EQ(std::string(rest, 4), "rest");
  close(ends[0]);
}

}  // namespace
}  // namespace tarnwick
