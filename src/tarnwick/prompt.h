// The operator prompts for the controller address and the password, and the
// handling of SIGINT and SIGTERM that keeps the terminal usable.
#ifndef TARNWICK_PROMPT_H_
#define TARNWICK_PROMPT_H_

#include <string>

namespace tarnwick {

// Writes "Enter Orvantis Controller IP: " to standard output and reads one
// line from standard input, returned without its line end (LF, or CR LF);
// blanks are kept and an empty line is accepted. Reads byte by byte, so
// nothing after the line is consumed. Throws Error(kEndOfInput) when input
// ends before any byte of the line (a last line without LF is accepted),
// Error(kOutput) when the prompt cannot be written.
std::string prompt_for_address();

// Writes "Enter Orvantis Controller Password: " to the controlling terminal,
// reads one line from it with echo off, turns echo back on and writes a line
// end. Without a controlling terminal the line is read from standard input,
// without a prompt. Echo is restored on every way out, an interrupting
// signal included. Throws Error(kEndOfInput) as prompt_for_address does.
std::string prompt_for_password();

// Overwrites the bytes of a secret (the password, a form that carries it)
// with zeros, in a way the compiler keeps, and empties it; copies the string
// made before are not reached.
void wipe_secret(std::string& secret);

// Installs handlers for SIGINT and SIGTERM for the rest of the process: they
// restore the terminal if a password prompt has echo off, write
// "tarnwick: interrupted: ..." to standard error and end the process with
// status 130 (SIGINT) or 143 (SIGTERM), keeping what standard output has
// already been given. A signal that was ignored when the process started
// stays ignored, as for a background job.
void install_interruption_handlers();

}  // namespace tarnwick

#endif  // TARNWICK_PROMPT_H_
