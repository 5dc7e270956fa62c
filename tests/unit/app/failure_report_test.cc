#include "tarnwick/app/failure_report.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "tarnwick/base/error.h"

namespace tarnwick {
namespace {

TEST(ErrorLineTest, IsOneLineThatCannotDriveATerminal) {
  const std::pair<std::string, std::string> cases[] = {
      {"no such file: 'a.cfg'", "no such file: 'a.cfg'"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"\x1b[2J\x07", "\\x1b[2J\\x07"},
      {"del \x7f c1 \xc2\x9b", "del \\x7f c1 \\x9b"},
      {"bad \xff\xfe utf-8", "bad \\xff\\xfe utf-8"},
      {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
      {std::string("nul \0 byte", 10), "nul \\x00 byte"},
  };
  for (const auto& [message, shown] : cases) {
    EXPECT_EQ(error_line("file not found", message),
              "tarnwick: file not found: " + shown + "\n");
  }
}

TEST(ReportFailureTest, GivesEachFailureItsReportAndStatus) {
  struct Case {
    const char* name;
    std::exception_ptr failure;
    int status;
    std::string out;  // after "report\n", which was buffered before
    std::string err;
  } cases[] = {
      {"broken pipe", std::make_exception_ptr(OutputError(EPIPE, "gone")), 141,
       "", ""},
      {"full disk",
       std::make_exception_ptr(OutputError(ENOSPC, "cannot write the report")),
       1, "", "tarnwick: output error: cannot write the report\n"},
      {"failed login",
       std::make_exception_ptr(Error(ErrorKind::kLoginFailed, "no CID")), 1,
       "report\nLogin failed\n", "tarnwick: login failed: no CID\n"},
      {"any error",
       std::make_exception_ptr(Error(ErrorKind::kMissingKey, "'k' (in a)")), 1,
       "report\n", "tarnwick: missing key: 'k' (in a)\n"},
      {"out of memory", std::make_exception_ptr(std::bad_alloc()), 1,
       "report\n", "tarnwick: internal error: out of memory\n"},
      {"another exception", std::make_exception_ptr(std::runtime_error("odd")),
       1, "report\n", "tarnwick: internal error: odd\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Output out(-1);
    Output err(-1);
    // The output errors are thrown by a flush that has dropped the buffer.
    if (c.status != 141 && c.out != "") out.write("report\n");
    EXPECT_EQ(report_failure(c.failure, out, err, true), c.status);
    EXPECT_EQ(out.text(), c.out);
    EXPECT_EQ(err.text(), c.err);
  }
}

}  // namespace
}  // namespace tarnwick
