// Test-only stand-in for the terminal: a Prompter that answers from a script
// and records which prompts were shown.
#ifndef TARNWICK_TESTS_FAKE_PROMPTER_H_
#define TARNWICK_TESTS_FAKE_PROMPTER_H_

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/app/prompt.h"
#include "tarnwick/base/error.h"

namespace tarnwick {

class FakePrompter : public Prompter {
 public:
  // Queues the answer to the next prompt.
  void add_answer(std::string answer) { answers_.push_back(std::move(answer)); }

  std::string address(bool prompt_on_standard_error) override {
    return answer(prompt_on_standard_error ? "address on stderr" : "address");
  }
  std::string password() override { return answer("password"); }

  // The prompts shown, in order: "address" (or "address on stderr"),
  // "password".
  const std::vector<std::string>& shown() const { return shown_; }

 private:
  std::string answer(const char* prompt) {
    shown_.push_back(prompt);
    if (answers_.empty()) {
      ADD_FAILURE() << "unexpected " << prompt << " prompt";
      throw Error(ErrorKind::kEndOfInput, "no answer scripted");
    }
    std::string next = std::move(answers_.front());
    answers_.pop_front();
    return next;
  }

  std::deque<std::string> answers_;
  std::vector<std::string> shown_;
};

}  // namespace tarnwick

#endif  // TARNWICK_TESTS_FAKE_PROMPTER_H_
