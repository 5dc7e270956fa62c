#include "tarnwick/prompt.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string_view>

#include "tarnwick/error.h"
#include "tarnwick/exit_status.h"
#include "tarnwick/output.h"

namespace tarnwick {

namespace {

constexpr std::string_view kAddressPrompt = "Enter Orvantis Controller IP: ";
constexpr std::string_view kPasswordPrompt =
    "Enter Orvantis Controller Password: ";

// Shared with the signal handler, which may only read them. The terminal
// settings are written before the flag that makes the handler use them.
struct termios g_saved_termios;
volatile std::sig_atomic_t g_tty_fd = -1;
volatile std::sig_atomic_t g_echo_off = 0;
// A terminal on which a prompt waits for its line, or -1; an interruption
// ends that line first so the report starts on a line of its own.
volatile std::sig_atomic_t g_open_line_fd = -1;

constexpr char kSigintReport[] = "tarnwick: interrupted: stopped by SIGINT\n";
constexpr char kSigtermReport[] = "tarnwick: interrupted: stopped by SIGTERM\n";

// Async-signal-safe throughout: tcsetattr, write and _exit only.
void on_interruption(int signal_number) {
  if (g_echo_off) tcsetattr(g_tty_fd, TCSANOW, &g_saved_termios);
  if (g_open_line_fd >= 0) {
    [[maybe_unused]] ssize_t n = write(g_open_line_fd, "\n", 1);
  }
  bool terminated = signal_number == SIGTERM;
  const char* report = terminated ? kSigtermReport : kSigintReport;
  std::size_t size = terminated ? sizeof kSigtermReport : sizeof kSigintReport;
  [[maybe_unused]] ssize_t n = write(STDERR_FILENO, report, size - 1);
  _exit(terminated ? kExitTerminated : kExitInterrupted);
}

void write_all(int fd, std::string_view s, const char* what) {
  while (!s.empty()) {
    ssize_t n = write(fd, s.data(), s.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      throw OutputError(
          err, std::string("cannot write the ") + what + ": " + strerror(err));
    }
    s.remove_prefix(static_cast<std::size_t>(n));
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
                                              strerror(errno));
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
  explicit OpenLine(int fd) { g_open_line_fd = fd; }
  OpenLine(const OpenLine&) = delete;
  OpenLine& operator=(const OpenLine&) = delete;
  ~OpenLine() { g_open_line_fd = -1; }
};

// Echo off on the terminal while it lives; on the way out, by any path,
// echo back on and the line ended that the operator's Enter did not show.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    struct termios settings;
    if (tcgetattr(fd_, &settings) != 0) return;  // no echo to switch off
    g_saved_termios = settings;
    g_tty_fd = fd_;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_echo_off = 1;
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    // TCSAFLUSH drops what was typed ahead; it was echoed already.
    if (tcsetattr(fd_, TCSAFLUSH, &settings) != 0) g_echo_off = 0;
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  ~EchoOff() {
    if (g_echo_off) {
      tcsetattr(fd_, TCSAFLUSH, &g_saved_termios);
      std::atomic_signal_fence(std::memory_order_seq_cst);
      g_echo_off = 0;
    }
    [[maybe_unused]] ssize_t n = write(fd_, "\n", 1);
  }

 private:
  int fd_;
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

void wipe_secret(std::string& secret) {
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

std::string prompt_for_address() {
  write_all(STDOUT_FILENO, kAddressPrompt, "address prompt");
  OpenLine open_line(isatty(STDOUT_FILENO) ? STDOUT_FILENO : -1);
  return read_answer(STDIN_FILENO, "standard input", "address prompt");
}

std::string prompt_for_password() {
  int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) {
    return read_answer(STDIN_FILENO, "standard input", "password prompt");
  }
  FileCloser closer(tty);
  EchoOff echo_off(tty);
  write_all(tty, kPasswordPrompt, "password prompt");
  OpenLine open_line(tty);
  return read_answer(tty, "terminal input", "password prompt");
}

void install_interruption_handlers() {
  for (int signal_number : {SIGINT, SIGTERM}) {
    struct sigaction previous;
    if (sigaction(signal_number, nullptr, &previous) != 0) continue;
    if (previous.sa_handler == SIG_IGN) continue;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_interruption;
    // One report only, even when both signals arrive together.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace tarnwick
