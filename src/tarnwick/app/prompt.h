// The operator prompts for the controller address and the password, behind
// an interface so that tests can stand in for the terminal.
#ifndef TARNWICK_APP_PROMPT_H_
#define TARNWICK_APP_PROMPT_H_

#include <string>

namespace tarnwick {

class Prompter {
 public:
  virtual ~Prompter() = default;

  // Asks for the controller address, the prompt on standard output or, when
  // that carries nothing but the report, on standard error; returns the
  // answer without its line end, blanks kept, an empty answer accepted.
  // Throws Error(kEndOfInput) when input ends before any byte of the line,
  // Error(kOutput) when the prompt cannot be written.
  virtual std::string address(bool prompt_on_standard_error) = 0;

  // Asks for the password, without echo; returns it as address() does and
  // throws as address() does.
  virtual std::string password() = 0;
};

// The prompts on the process's terminal:
// - address(): "Enter Orvantis Controller IP: " on standard output (or
//   standard error), one line from standard input (LF or CR LF ends it; a last
//   line without LF is accepted). Reads byte by byte, so nothing after the line
//   is consumed.
// - password(): "Enter Orvantis Controller Password: " on the controlling
//   terminal, one line read from it with echo off, echo back on and a line
//   end written. Without a controlling terminal the line is read from
//   standard input, without a prompt. Echo is restored on every way out, an
//   interrupting signal included (see interruption.h).
class TerminalPrompter : public Prompter {
 public:
  std::string address(bool prompt_on_standard_error) override;
  std::string password() override;
};

}  // namespace tarnwick

#endif  // TARNWICK_APP_PROMPT_H_
