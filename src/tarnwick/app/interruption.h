// Interruption by SIGINT or SIGTERM: the handlers that end the process with
// a report, the state they restore on the way out, and the route that turns
// a signal while requests wait into the cancellation of the run.
#ifndef TARNWICK_APP_INTERRUPTION_H_
#define TARNWICK_APP_INTERRUPTION_H_

#include <semaphore.h>
#include <termios.h>

#include <atomic>
#include <string_view>
#include <thread>

#include "tarnwick/base/cancellation.h"

namespace tarnwick {

// Installs handlers for SIGINT and SIGTERM for the rest of the process: they
// restore a terminal whose echo is off (note_echo_off), end an open prompt
// line (note_open_line), write "tarnwick: interrupted: stopped by SIGINT"
// (or SIGTERM) and the context of the moment (set_interruption_context) as
// one line to standard error and end the process with status 130 (SIGINT)
// or 143 (SIGTERM), keeping what standard output has already been given. A
// signal that was ignored when the process started stays ignored, as for a
// background job. While an InterruptionRoute lives, the first signal that
// arrives while requests wait goes to it instead.
void install_interruption_handlers();

// The reason a run that `signal_number` (SIGINT or SIGTERM) stopped ends
// with: Cancelled(kInterrupted, "stopped by SIGINT", 130), or SIGTERM and
// 143.
Cancelled interrupted_by(int signal_number);

// While it lives, the first SIGINT or SIGTERM that arrives while requests
// wait (note_requests_waiting) cancels `cancellation` with interrupted_by
// instead of ending the process: the run ends its requests and returns,
// and its reports are written. Signals within 0.5 s of it count as the same
// one (coreutils timeout sends its signal twice); a later second signal,
// and one at any other time (at a prompt, while standard output blocks),
// ends the process at once.
// The cancel comes from a thread of its own, which the signal handler wakes
// through a semaphore, so that it may wake libcurl's waits; the thread ends
// with the route. Without a semaphore or a thread, nothing is routed.
class InterruptionRoute {
 public:
  explicit InterruptionRoute(Cancellation& cancellation);
  ~InterruptionRoute();
  InterruptionRoute(const InterruptionRoute&) = delete;
  InterruptionRoute& operator=(const InterruptionRoute&) = delete;

 private:
  sem_t wake_;
  bool ready_ = false;  // wake_ is made
  std::atomic<bool> ending_{false};
  std::thread watcher_;
};

// Requests wait from now (true) until it is called with false.
void note_requests_waiting(bool waiting);

// The signal that was routed to the run, 0 for none.
int routed_signal();

// What an interruption report adds after "stopped by SIGINT" from now on,
// e.g. " while waiting for 'https://10.0.0.1/v1/api' (in a.cfg)"; "" for
// nothing. The text is copied (cut short past 4 KiB) before the handler may
// use it, since the handler can only read what is ready.
void set_interruption_context(std::string_view text);

// The terminal fd has echo off; `saved` are its settings to restore.
void note_echo_off(int fd, const struct termios& saved);
// Echo is back on; nothing to restore any more.
void note_echo_restored();

// fd is a terminal on which a prompt waits for its line, or -1 for none; an
// interruption ends that line first, so its report starts on a line of its
// own.
void note_open_line(int fd);

}  // namespace tarnwick

#endif  // TARNWICK_APP_INTERRUPTION_H_
