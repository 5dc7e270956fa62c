#include "tarnwick/report/check_state.h"

#include "tarnwick/base/text.h"
#include "tarnwick/report/verdict_line.h"

namespace tarnwick {

ResultChanges result_changes(const CheckOutcome& outcome) {
  ResultChanges changes;
  if (!outcome.baseline || !outcome.baseline->compared) return changes;
  const Comparison& c = outcome.baseline->comparison;
  changes.compared = true;
  changes.count = c.changes.size() + c.more_changes;
  if (changes.count > 0) changes.lines = baseline_lines(*outcome.baseline);
  return changes;
}

CheckState check_state(const CheckOutcome& outcome) {
  if (outcome.failed()) return CheckState::kFailed;
  if (outcome.needs_attention() || result_changes(outcome).count > 0)
    return CheckState::kAttention;
  return CheckState::kWell;
}

std::vector<std::string> unmet_expectations(const CheckOutcome& outcome) {
  std::vector<std::string> names;
  for (const Verdict& v : outcome.expectations) {
    if (v.holds == false) names.push_back(v.name);
  }
  return names;
}

std::string attention_summary(const CheckOutcome& outcome) {
  const std::vector<std::string> unmet = unmet_expectations(outcome);
  const std::size_t changes = result_changes(outcome).count;
  std::string message;
  if (!unmet.empty())
    message = "expectations failed: " + join_with_commas(unmet);
  if (changes > 0) {
    if (!message.empty()) message += "; ";
    message += "result changed: " + std::to_string(changes) +
               (changes == 1 ? " change" : " changes");
  }
  return message;
}

std::vector<std::string> unmet_lines(const CheckOutcome& outcome) {
  // Judged over the records received, when some elements failed.
  const std::string note =
      outcome.result && outcome.error
          ? "partial: " + std::string(outcome.error->what())
          : std::string();
  std::vector<std::string> lines;
  for (const Verdict& v : outcome.expectations) {
    if (v.holds == false) lines.push_back(verdict_line(v, note));
  }
  return lines;
}

}  // namespace tarnwick
