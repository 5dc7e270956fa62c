// Interruption by SIGINT or SIGTERM: the handlers that end the process with
// a report, and the state they restore on the way out.
#ifndef TARNWICK_APP_INTERRUPTION_H_
#define TARNWICK_APP_INTERRUPTION_H_

#include <termios.h>

#include <string_view>

namespace tarnwick {

// Installs handlers for SIGINT and SIGTERM for the rest of the process: they
// restore a terminal whose echo is off (note_echo_off), end an open prompt
// line (note_open_line), write "tarnwick: interrupted: stopped by SIGINT"
// (or SIGTERM) and the context of the moment (set_interruption_context) as
// one line to standard error and end the process with status 130 (SIGINT)
// or 143 (SIGTERM), keeping what standard output has already been given. A
// signal that was ignored when the process started stays ignored, as for a
// background job.
void install_interruption_handlers();

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
