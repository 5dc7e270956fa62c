#include "tarnwick/app/interruption.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <string.h>
#include <time.h>
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

// The route (InterruptionRoute): the semaphore its thread waits on, or
// null; whether requests wait; the signal routed, once one is. Lock-free
// atomics and sem_post are safe in a handler.
std::atomic<sem_t*> g_route{nullptr};
volatile std::sig_atomic_t g_requests_waiting = 0;
std::atomic<int> g_routed_signal{0};
std::atomic<long long> g_routed_at{0};  // CLOCK_MONOTONIC, in ns; 0 unknown
static_assert(std::atomic<sem_t*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<long long>::is_always_lock_free);

// Signals this close together count as one: coreutils timeout sends its
// signal to tarnwick, then to its process group, tarnwick included.
constexpr long long kTogetherNs = 500'000'000;

long long now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Whether the signal came together with the one routed to the run.
bool came_with_the_routed_one() {
  if (g_routed_signal.load() == 0) return false;
  const long long routed_at = g_routed_at.load();
  return routed_at == 0 || now_ns() - routed_at < kTogetherNs;
}

// Hands the first signal while requests wait to the route; whether it did.
bool route(int signal_number) {
  sem_t* const route = g_route.load();
  if (!g_requests_waiting || route == nullptr) return false;
  const long long now = now_ns();
  int none = 0;
  if (!g_routed_signal.compare_exchange_strong(none, signal_number))
    return false;
  g_routed_at.store(now);
  return sem_post(route) == 0;
}

// Async-signal-safe throughout: tcsetattr, memcpy, write, sem_post,
// clock_gettime, lock-free atomics and _exit only.
void on_interruption(int signal_number) {
  if (came_with_the_routed_one() || route(signal_number)) return;
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
  if (sem_init(&wake_, 0, 0) != 0) return;
  ready_ = true;
  try {
    watcher_ = std::thread([this, &cancellation] {
      // The signals go to the threads of the run, not here.
      sigset_t signals;
      sigemptyset(&signals);
      sigaddset(&signals, SIGINT);
      sigaddset(&signals, SIGTERM);
      pthread_sigmask(SIG_BLOCK, &signals, nullptr);
      for (;;) {
        while (sem_wait(&wake_) != 0) {
          if (errno != EINTR) return;
        }
        if (ending_) return;
        if (const int signal_number = g_routed_signal.load())
          cancellation.cancel(interrupted_by(signal_number));
      }
    });
  } catch (const std::system_error&) {
    return;
  }
  g_route = &wake_;
}

InterruptionRoute::~InterruptionRoute() {
  g_route = nullptr;
  if (watcher_.joinable()) {
    ending_ = true;
    sem_post(&wake_);
    watcher_.join();
  }
  if (ready_) sem_destroy(&wake_);
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
