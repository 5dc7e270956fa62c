// How the text report (and the reports built on it) words a verdict on an
// expectation and a comparison with the earlier run, and shows a value on
// one line.
#ifndef TARNWICK_REPORT_VERDICT_LINE_H_
#define TARNWICK_REPORT_VERDICT_LINE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/value.h"
#include "tarnwick/expect/judge.h"
#include "tarnwick/report/outcome.h"

namespace tarnwick {

// How many characters of a value a one-line message shows.
inline constexpr std::size_t kShownValue = 120;

// v in the report's notation on one line (map keys sorted), cut short past
// `max` characters with "...".
std::string one_line(const Node& v, std::size_t max = kShownValue);

// "expect all_up: holds", "expect all_up: FAILS: gateways[1].state is
// 'down', gateways[2].state is absent (expected == up)", "expect all_up: not
// judged: the check failed"; `note` ("partial: 2 of 6 elements failed") is
// added in parentheses after the verdict when it is not empty. Without a
// line end; control characters escaped.
std::string verdict_line(const Verdict& verdict, std::string_view note);

// The lines of a comparison with the earlier run, each without its line
// end: "changed gateways[name=edge-2].state: 'up' -> 'down'", "added PATH:
// VALUE", "removed PATH: VALUE", "not compared PATH: the element failed",
// "and 12 more changes"; "baseline: unchanged" when nothing changed;
// "baseline: NOTE" when the results were not compared.
std::vector<std::string> baseline_lines(const BaselineOutcome& baseline);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_VERDICT_LINE_H_
