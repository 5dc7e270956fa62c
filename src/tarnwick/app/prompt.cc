#include "tarnwick/app/prompt.h"

#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string_view>

#include "tarnwick/app/interruption.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/output.h"
#include "tarnwick/base/secret.h"

namespace tarnwick {

namespace {

constexpr std::string_view kAddressPrompt = "Enter Orvantis Controller IP: ";
constexpr std::string_view kPasswordPrompt =
    "Enter Orvantis Controller Password: ";

void write_prompt(int fd, std::string_view prompt, const char* what) {
  if (int err = write_all(fd, prompt)) {
    throw OutputError(
        err, std::string("cannot write the ") + what + ": " + errno_text(err));
  }
}

// Room for a typical answer, so that reading a password does not leave
// copies of its first part behind in memory the string outgrew.
constexpr std::size_t kAnswerReserve = 256;

// Reads up to and including LF, one byte at a time so that input meant for
// later readers stays unread. Returns false when input ends before any byte.
bool read_line(int fd, std::string& line, const char* prompt_name) {
  line.clear();
  line.reserve(kAnswerReserve);
  bool got_any = false;
  for (;;) {
    char c;
    ssize_t n = read(fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error(ErrorKind::kEndOfInput, std::string("cannot read the ") +
                                              prompt_name + ": " +
                                              errno_text(errno));
    }
    if (n == 0) return got_any;
    got_any = true;
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    line.push_back(c);
  }
}

// source names where the answer comes from, for the end-of-input message.
// A line cut short by a failure is cleared before it is dropped.
std::string read_answer(int fd, const char* source, const char* prompt_name) {
  std::string line;
  bool complete = false;
  try {
    complete = read_line(fd, line, prompt_name);
  } catch (const Error&) {
    wipe_secret(line);
    throw;
  }
  if (!complete) {
    wipe_secret(line);
    throw Error(ErrorKind::kEndOfInput,
                std::string(source) + " ended at the " + prompt_name);
  }
  return line;
}

// Marks fd as the terminal whose prompt line is open while it lives.
class OpenLine {
 public:
  explicit OpenLine(int fd) { note_open_line(fd); }
  OpenLine(const OpenLine&) = delete;
  OpenLine& operator=(const OpenLine&) = delete;
  ~OpenLine() { note_open_line(-1); }
};

// Echo off on the terminal while it lives; on the way out, by any path,
// echo back on and the line ended that the operator's Enter did not show.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;  // no echo to switch off
    note_echo_off(fd_, saved_);
    echo_off_ = true;
    struct termios settings = saved_;
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    // TCSAFLUSH drops what was typed ahead; it was echoed already.
    if (tcsetattr(fd_, TCSAFLUSH, &settings) != 0) {
      note_echo_restored();
      echo_off_ = false;
    }
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  ~EchoOff() {
    if (echo_off_) {
      tcsetattr(fd_, TCSAFLUSH, &saved_);
      note_echo_restored();
    }
    [[maybe_unused]] ssize_t n = write(fd_, "\n", 1);
  }

 private:
  int fd_;
  struct termios saved_;
  bool echo_off_ = false;
};

class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  ~FileCloser() { close(fd_); }

 private:
  int fd_;
};

}  // namespace

std::string TerminalPrompter::address(bool prompt_on_standard_error) {
  const int fd = prompt_on_standard_error ? STDERR_FILENO : STDOUT_FILENO;
  write_prompt(fd, kAddressPrompt, "address prompt");
  OpenLine open_line(isatty(fd) ? fd : -1);
  return read_answer(STDIN_FILENO, "standard input", "address prompt");
}

std::string TerminalPrompter::password() {
  int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) {
    return read_answer(STDIN_FILENO, "standard input", "password prompt");
  }
  FileCloser closer(tty);
  EchoOff echo_off(tty);
  write_prompt(tty, kPasswordPrompt, "password prompt");
  OpenLine open_line(tty);
  return read_answer(tty, "terminal input", "password prompt");
}

}  // namespace tarnwick
