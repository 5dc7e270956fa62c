#include "tarnwick/suite/tally.h"

#include "tarnwick/base/error_line.h"
#include "tarnwick/base/exit_status.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

void SuiteTally::note(const CheckOutcome& outcome) {
  Unmet found{outcome.name, {}};
  for (const Verdict& v : outcome.expectations) {
    if (v.holds == false) found.expectations.push_back(v.name);
  }
  if (!found.expectations.empty()) unmet.push_back(std::move(found));
  if (outcome.baseline && outcome.baseline->changed())
    changed.push_back(outcome.name);
}

std::string SuiteTally::summary_lines() const {
  std::string lines;
  if (!failed.empty()) {
    lines += error_line("checks failed", std::to_string(failed.size()) +
                                             " of " + std::to_string(checks) +
                                             ": " + join_with_commas(failed));
  }
  if (!unmet.empty()) {
    std::size_t count = 0;
    std::string checks_text;
    for (const Unmet& u : unmet) {
      count += u.expectations.size();
      if (!checks_text.empty()) checks_text += ", ";
      checks_text += u.check + " (" + join_with_commas(u.expectations) + ")";
    }
    lines += error_line("expectations failed",
                        std::to_string(count) + " in " +
                            std::to_string(unmet.size()) + " of " +
                            counted(checks, "check") + ": " + checks_text);
  }
  if (!changed.empty()) {
    lines +=
        error_line("results changed", std::to_string(changed.size()) + " of " +
                                          counted(checks, "check") + ": " +
                                          join_with_commas(changed));
  }
  if (strict && warnings > 0) {
    lines += error_line(
        "strict", warnings == 1
                      ? std::string("1 warning counts as an error")
                      : std::to_string(warnings) + " warnings count as errors");
  }
  return lines;
}

int SuiteTally::exit_status() const {
  if (!failed.empty() || (strict && warnings > 0)) return kExitFailure;
  if (!unmet.empty() || !changed.empty()) return kExitAttention;
  return kExitSuccess;
}

}  // namespace tarnwick
