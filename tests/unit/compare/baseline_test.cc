#include "tarnwick/compare/baseline.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/output.h"
#include "tarnwick/report/json_writer.h"
#include "test_util.h"

namespace tarnwick {
namespace {

struct Row {
  std::string content;
  // The check names of the lines, separated by blanks, or the message.
  std::string read;
};

std::string open_and_list(const std::string& path, int output_fd = -1) {
  try {
    Baseline baseline = Baseline::open(path, output_fd);
    std::string names;
    for (const std::string& name : baseline.check_names()) {
      names += (names.empty() ? "" : " ") + name;
    }
    return names;
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kBadBaseline);
    EXPECT_TRUE(e.ends_run());
    return e.what();
  }
}

TEST(BaselineTest, ChecksEveryLineOfTheFile) {
  const std::string a =
      R"({"check": "a.cfg", "description": null, "result": 1})";
  const std::string b = R"({"check": "b.cfg", "error": {"kind": "timeout"}})";
  const std::string partial =
      R"({"check": "c.cfg", "result": [], "error": {"kind": "partial"}})";
  const std::vector<Row> rows = {
      {"", ""},
      {a + "\n", "a.cfg"},
      {a + "\n" + b, "a.cfg b.cfg"},
      {a + "\r\n" + b + "\r\n" + partial + "\n" + a + "\n",
       "a.cfg b.cfg c.cfg a.cfg"},
      {a + "\n\n" + b, "'F' line 2: an empty line"},
      {a + "\n" + b + "\n \r\n", "'F' line 3: an empty line"},
      {a + "\n" + a.substr(0, 30),
       "'F' line 2: not JSON: text opened at byte 19 is not closed"},
      {"[1]\n", "'F' line 1: a list, not a JSON object"},
      {"\"a\"\n", "'F' line 1: a text, not a JSON object"},
      {R"({"result": 1})", "'F' line 1: no 'check'"},
      {R"({"check": 7, "result": 1})",
       "'F' line 1: 'check' is a number, not a text"},
      {R"({"check": "a.cfg", "requests": [], "filters": []})",
       "'F' line 1: 'requests' instead of 'result' or 'error': the output of a "
       "dry run"},
      {R"({"check": "a.cfg", "description": "x"})",
       "'F' line 1: neither 'result' nor 'error'"},
      {R"({"check": "a.cfg", "result": {"deep": [1, 2, {"x": nul}]}})",
       "'F' line 1: not JSON: unexpected 'n' at byte 51"},
      // A quiet run left out the checks that were well.
      {a + "\n" + R"({"check": "b.cfg", "result": 2, "quiet": true})",
       "'F' line 2 comes from a --quiet run, which leaves out checks that are "
       "well"},
      {R"({"check": "a.cfg", "result": 1, "quiet": false})", "a.cfg"},
  };
  ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = dir.path("F");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.content);
    ASSERT_TRUE(write_file_for_test(path, row.content));
    std::string read = open_and_list(path);
    const std::string quoted = "'" + path + "'";
    if (read.starts_with(quoted)) read = "'F'" + read.substr(quoted.size());
    EXPECT_EQ(read, row.read);
  }
}

TEST(BaselineTest, RefusesWhatIsNoFileToReadTwice) {
  ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(open_and_list(dir.path("last.jsonl")),
            "'" + dir.path("last.jsonl") +
                "': no such file; run once with --json to make it");
  EXPECT_EQ(open_and_list(dir.path()), "'" + dir.path() + "': is a directory");
  EXPECT_EQ(open_and_list(fifo),
            "'" + fifo +
                "': not a regular file; the earlier run's file is read twice");
  // Standard output is the file: the shell emptied it before the run.
  const std::string last = dir.path("last.jsonl");
  ASSERT_TRUE(write_file_for_test(last, ""));
  const int written = ::open(last.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(written, 0);
  EXPECT_EQ(open_and_list(last, written),
            "standard output is '" + last +
                "' itself; write to another file and rename it");
  EXPECT_EQ(open_and_list(dir.path("none"), written),
            "'" + dir.path("none") +
                "': no such file; run once with --json to make it");
  ::close(written);
  EXPECT_EQ(open_and_list(last, STDERR_FILENO), "");
  if (geteuid() != 0) {
    const std::string locked = dir.path("locked");
    ASSERT_TRUE(write_file_for_test(locked, ""));
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(open_and_list(locked), "'" + locked + "': permission denied");
  }
}

std::string result_of(const std::optional<EarlierRun>& run) {
  if (!run) return "none";
  std::string out = run->result ? json_for_test(*run->result) : "no result";
  if (run->had_error) out += " + " + json_for_test(*run->error);
  return out;
}

// The n-th line of a name, read again from the file when asked for: what
// the first pass keeps is where the lines are, and the first line's value
// until some line is asked for.
TEST(BaselineTest, ReadsTheNthLineOfACheckAgainWhenAsked) {
  ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = dir.path("last.jsonl");
  std::string lines =
      R"({"check": "a.cfg", "result": [1]})"
      "\n"
      R"({"check": "b.cfg", "error": {"kind": "timeout"}})"
      "\n"
      R"({"check": "a.cfg", "result": [2], "error": {"kind": "partial"}})";
  ASSERT_TRUE(write_file_for_test(path, lines));
  Baseline baseline = Baseline::open(path);
  EXPECT_EQ(baseline.count("a.cfg"), 2u);
  EXPECT_EQ(baseline.count("c.cfg"), 0u);
  // The same bytes with other values.
  lines.replace(lines.find("[1]"), 3, "[7]");
  lines.replace(lines.find("[2]"), 3, "[8]");
  ASSERT_TRUE(write_file_for_test(path, lines));
  EXPECT_EQ(result_of(baseline.find("a.cfg", 0)), "[1]");
  EXPECT_EQ(result_of(baseline.find("a.cfg", 1)),
            "[8] + {\"kind\": \"partial\"}");
  EXPECT_EQ(result_of(baseline.find("a.cfg", 0)), "[7]");
  EXPECT_EQ(result_of(baseline.find("a.cfg", 2)), "none");
  EXPECT_EQ(result_of(baseline.find("b.cfg", 0)),
            "no result + {\"kind\": \"timeout\"}");
  EXPECT_EQ(result_of(baseline.find("c.cfg", 0)), "none");

  lines.replace(lines.find("b.cfg"), 5, "x.cfg");
  ASSERT_TRUE(write_file_for_test(path, lines));
  try {
    baseline.find("b.cfg", 0);
    ADD_FAILURE() << "no error for a changed file";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kBadBaseline);
    EXPECT_EQ(std::string(e.what()),
              "'" + path + "' line 2: the file changed during the run");
  }
}

// Lines longer than what is read at once are read whole, the last one too
// without its line feed.
TEST(BaselineTest, ReadsLinesLargerThanItsReadsBuffer) {
  ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = dir.path("last.jsonl");
  const std::string big(3 << 20, 'x');
  const std::string last((2 << 20) + 5, 'y');
  ASSERT_TRUE(write_file_for_test(
      path, R"({"check": "a.cfg", "result": ")" + big + "\"}\n" +
                R"({"check": "b.cfg", "result": 2})" + "\n" +
                R"({"check": "c.cfg", "result": ")" + last + "\"}"));
  Baseline baseline = Baseline::open(path);
  EXPECT_EQ(result_of(baseline.find("a.cfg", 0)), "\"" + big + "\"");
  EXPECT_EQ(result_of(baseline.find("c.cfg", 0)), "\"" + last + "\"");
  EXPECT_EQ(result_of(baseline.find("b.cfg", 0)), "2");
}

}  // namespace
}  // namespace tarnwick
