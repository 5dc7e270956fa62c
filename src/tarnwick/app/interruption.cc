#include "tarnwick/app/interruption.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <system_error>

#include "tarnwick/base/error.h"
#include "tarnwick/base/exit_status.h"

namespace tarnwick {

namespace {

// Shared with the signal handler, which may only read them. The terminal
// settings are written before the flag that makes the handler use them.
struct termios g_saved_termios;
volatile std::sig_atomic_t g_tty_fd = -1;
volatile std::sig_atomic_t g_echo_off = 0;
volatile std::sig_atomic_t g_open_line_fd = -1;

// The context, in two buffers: the one `g_context` names is complete and
// left alone; the other is written and then named.
constexpr std::size_t kContextSize = 4096;
char g_contexts[2][kContextSize];
std::size_t g_context_sizes[2];
volatile std::sig_atomic_t g_context = 0;

constexpr char kSigintReport[] = "tarnwick: interrupted: stopped by SIGINT";
constexpr char kSigtermReport[] = "tarnwick: interrupted: stopped by SIGTERM";

// The route (InterruptionRoute): the pipe's end its thread reads, or -1;
// whether requests wait; the signal routed, once one is. A lock-free atomic
// is safe in a handler.
volatile std::sig_atomic_t g_route_fd = -1;
volatile std::sig_atomic_t g_requests_waiting = 0;
std::atomic<int> g_routed_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Hands the first signal while requests wait to the route; whether it did.
bool route(int signal_number) {
  if (!g_requests_waiting || g_route_fd < 0) return false;
  int none = 0;
  if (!g_routed_signal.compare_exchange_strong(none, signal_number))
    return false;
  const auto byte = static_cast<unsigned char>(signal_number);
  return write(g_route_fd, &byte, 1) == 1;
}

// Async-signal-safe throughout: tcsetattr, memcpy, write, lock-free atomics
// and _exit only.
void on_interruption(int signal_number) {
  if (route(signal_number)) return;
  if (g_echo_off) tcsetattr(g_tty_fd, TCSANOW, &g_saved_termios);
  if (g_open_line_fd >= 0) {
    [[maybe_unused]] ssize_t n = write(g_open_line_fd, "\n", 1);
  }
  const bool terminated = signal_number == SIGTERM;
  const char* report = terminated ? kSigtermReport : kSigintReport;
  const std::size_t size =
      (terminated ? sizeof kSigtermReport : sizeof kSigintReport) - 1;
  const int context = g_context;
  char line[sizeof kSigtermReport + kContextSize + 1];
  std::memcpy(line, report, size);
  std::memcpy(line + size, g_contexts[context], g_context_sizes[context]);
  const std::size_t length = size + g_context_sizes[context];
  line[length] = '\n';
  [[maybe_unused]] ssize_t n = write(STDERR_FILENO, line, length + 1);
  _exit(terminated ? kExitTerminated : kExitInterrupted);
}

}  // namespace

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

void note_echo_off(int fd, const struct termios& saved) {
  g_saved_termios = saved;
  g_tty_fd = fd;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_echo_off = 1;
}

void note_echo_restored() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_echo_off = 0;
}

void note_open_line(int fd) { g_open_line_fd = fd; }

Cancelled interrupted_by(int signal_number) {
  return signal_number == SIGTERM
             ? Cancelled(ErrorKind::kInterrupted, "stopped by SIGTERM",
                         kExitTerminated)
             : Cancelled(ErrorKind::kInterrupted, "stopped by SIGINT",
                         kExitInterrupted);
}

InterruptionRoute::InterruptionRoute(Cancellation& cancellation) {
  if (pipe2(pipe_, O_CLOEXEC) != 0) return;
  try {
    watcher_ = std::thread([this, &cancellation] {
      // The signals go to the threads of the run, not here.
      sigset_t signals;
      sigemptyset(&signals);
      sigaddset(&signals, SIGINT);
      sigaddset(&signals, SIGTERM);
      pthread_sigmask(SIG_BLOCK, &signals, nullptr);
      for (;;) {
        unsigned char byte = 0;
        const ssize_t n = read(pipe_[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1) return;
        cancellation.cancel(interrupted_by(byte));
      }
    });
  } catch (const std::system_error&) {
    return;
  }
  g_route_fd = pipe_[1];
}

InterruptionRoute::~InterruptionRoute() {
  g_route_fd = -1;
  // The end of the pipe ends the thread.
  if (pipe_[1] >= 0) close(pipe_[1]);
  if (watcher_.joinable()) watcher_.join();
  if (pipe_[0] >= 0) close(pipe_[0]);
}

void note_requests_waiting(bool waiting) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_requests_waiting = waiting ? 1 : 0;
}

int routed_signal() { return g_routed_signal.load(); }

void set_interruption_context(std::string_view text) {
  const int next = 1 - g_context;
  const std::size_t size = std::min(text.size(), kContextSize);
  std::memcpy(g_contexts[next], text.data(), size);
  g_context_sizes[next] = size;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_context = next;
}

}  // namespace tarnwick
