#include "tarnwick/suite/baseline_check.h"

#include <set>

#include "tarnwick/base/error.h"
#include "tarnwick/base/error_line.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/check/check_chain.h"

namespace tarnwick {

bool refers_to_a_check(const CheckFile& config) {
  if (!config.has_section(kRequestSection)) return false;
  for (const std::string& key : config.keys(kRequestSection)) {
    const std::optional<std::string> value = config.find(kRequestSection, key);
    if (value && is_compound_reference(*value)) return true;
  }
  return false;
}

void compare_with_baseline(const Baseline& baseline, std::size_t run_index,
                           const CompareRules& rules, bool records,
                           CheckOutcome& outcome, Output& err) {
  BaselineOutcome& b = outcome.baseline.emplace();
  if (!outcome.result) {
    b.note = "not compared: this run had an error";
    return;
  }
  std::optional<EarlierRun> earlier = baseline.find(outcome.name, run_index);
  if (!earlier) {
    b.note = "new check";
    return;
  }
  if (earlier->result == nullptr) {
    b.note = "not compared: the earlier run had an error";
    return;
  }
  CompareOptions options;
  options.records = records;
  for (const ElementFailure& f : outcome.failed_elements)
    options.failed.push_back({f.index, f.element.node()});
  b.comparison =
      compare_results(*earlier->result, outcome.result->node(), rules, options);
  b.compared = true;
  b.earlier = earlier->line;
  for (const std::string& warning : b.comparison.warnings) {
    write_line_quietly(err,
                       error_line("warning", outcome.name + ": " + warning));
  }
}

void check_baseline_has_checks(const Baseline& baseline,
                               const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (baseline.count(name) > 0) return;
  }
  if (names.empty()) return;
  throw Error(
      ErrorKind::kBadBaseline,
      quote_text(baseline.path()) + " holds no line for " +
          (names.size() == 1 ? std::string("the check")
                             : "any of the " + counted(names.size(), "check")) +
          " of this run");
}

std::vector<std::string> checks_not_run(
    const Baseline& baseline, const std::map<std::string, std::size_t>& runs) {
  std::vector<std::string> names;
  std::set<std::string> named;
  for (const std::string& name : baseline.check_names()) {
    auto ran = runs.find(name);
    const std::size_t times = ran == runs.end() ? 0 : ran->second;
    if (times < baseline.count(name) && named.insert(name).second)
      names.push_back(name);
  }
  return names;
}

}  // namespace tarnwick
