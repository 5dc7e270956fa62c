#include "tarnwick/suite/tally.h"

#include "tarnwick/base/error_line.h"
#include "tarnwick/base/exit_status.h"

namespace tarnwick {

namespace {

// "a.cfg, b.cfg"
std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

}  // namespace

void SuiteTally::note(const CheckOutcome&) {}

std::string SuiteTally::summary_lines() const {
  std::string lines;
  if (!failed.empty()) {
    lines += error_line("checks failed", std::to_string(failed.size()) +
                                             " of " + std::to_string(checks) +
                                             ": " + joined(failed));
  }
  return lines;
}

int SuiteTally::exit_status() const {
  return failed.empty() ? kExitSuccess : kExitFailure;
}

}  // namespace tarnwick
