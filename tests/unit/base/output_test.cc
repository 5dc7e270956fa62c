#include "tarnwick/base/output.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace tarnwick {
namespace {

constexpr std::size_t kChunk = 1 << 16;  // Output's buffer

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST(OutputTest, PassesEveryByteInOrderWhateverTheWriteSizes) {
  // Sizes of the writes in turn; 1 is a put(). Each write has its own
  // letter, so a lost, repeated or reordered byte shows.
  const std::vector<std::vector<std::size_t>> cases = {
      {},
      {1, 5, 1},
      {kChunk - 1, 1, 1},   // a put() fills the buffer, the next one drains
      {kChunk - 2, 5},      // a write that straddles the end of the buffer
      {kChunk},             // exactly one buffer
      {10, kChunk + 3, 2},  // larger than the buffer, after a partial one
      {3 * kChunk + 1, 7, 2 * kChunk - 7, 1},
  };
  ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  for (std::size_t c = 0; c < cases.size(); ++c) {
    const std::string path = dir.path("out" + std::to_string(c));
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::string expected;
    {
      Output out(fd);
      Output memory(-1);
      for (std::size_t i = 0; i < cases[c].size(); ++i) {
        const std::string piece(cases[c][i], static_cast<char>('a' + i % 26));
        for (Output* o : {&out, &memory}) {
          if (piece.size() == 1) {
            o->put(piece[0]);
          } else {
            o->write(piece);
          }
        }
        expected += piece;
      }
      EXPECT_EQ(memory.text(), expected) << "case " << c;
    }  // the destructor flushes
    close(fd);
    EXPECT_EQ(read_file(path), expected) << "case " << c;
  }
}

TEST(OutputTest, FailedWriteThrowsItsErrnoAndDropsWhatWasPending) {
  const int fd = open("/dev/full", O_WRONLY);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  Output out(fd);
  out.write("report");
  try {
    out.flush();
    ADD_FAILURE() << "flush did not throw";
  } catch (const OutputError& e) {
    EXPECT_EQ(e.error_number(), ENOSPC);
    EXPECT_EQ(e.kind(), ErrorKind::kOutput);
    EXPECT_STREQ(e.what(), "cannot write the report: No space left on device");
  }
  EXPECT_NO_THROW(out.flush());  // nothing is pending any more
  // A write past the buffer fails the same way.
  EXPECT_THROW(out.write(std::string(kChunk + 1, 'x')), OutputError);
  close(fd);
}

// A bounded in-memory output keeps the first bytes and counts the rest.
TEST(OutputTest, InMemoryTextLimitCountsWhatItDrops) {
  Output out(-1);
  out.set_text_limit(5);
  out.write("abc");
  out.put('d');
  out.write("efgh");
  EXPECT_EQ(out.dropped(), 3u);
  EXPECT_EQ(out.take_text(), "abcde");
  EXPECT_EQ(out.dropped(), 0u);
  out.write("123456");
  EXPECT_EQ((out.text() + std::to_string(out.dropped())), "123451");
}

}  // namespace
}  // namespace tarnwick
