// Judging a check's result against one expectation.
//
// The selector yields values and holes (selector.h). Holes, maps and lists
// offend against every operator, the negated ones too; so do a text or
// number that "~" or "!~" cannot read as a text ("not a text": null, true,
// false) and a value that an order operator cannot read as a number ("not a
// number"; a text that is wholly a JSON number counts as that number).
//
//   SELECTOR OP VALUE        holds when something is selected, nothing
//                            offends and every value satisfies OP; nothing
//                            selected fails
//   every SELECTOR OP VALUE  the same, but holds when nothing is selected
//   SELECTOR exists          at least one value (null counts) and no hole
//   SELECTOR absent          no value, only holes or nothing
//   count SELECTOR OP N      the number of values, holes not counted
//
// absent, count and every look into the containers that the selector's
// steps up to its last step into a list reach: each must be there and be a
// list (a map is no list, nor is null or the marker). A hole there is no
// "nothing found" but nothing to look in: it offends, and the expectation
// fails, whatever it counts. absent of a path without a step into a list
// ("last_backup absent") holds on a map without the member.
#ifndef TARNWICK_EXPECT_JUDGE_H_
#define TARNWICK_EXPECT_JUDGE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick/base/value.h"
#include "tarnwick/expect/expectation.h"
#include "tarnwick/select/selector.h"

namespace tarnwick {

// A verdict keeps at most this many findings.
inline constexpr std::size_t kMaxFindings = 5;

// An offending value or hole. A report shows it as "PATH is VALUE" or "PATH
// is absent", followed by ", NOTE" when there is a note.
struct Finding {
  std::string path;           // a selector: "gateways[1].state",
                              // "gateways[name=gw-2].state"
  std::optional<Node> value;  // points into the judged result; nullopt for a
                              // hole
  std::string note;           // e.g. "not a number", "marked
                              // 'FILTER_NOT_FOUND'", or ""
  // A hole where absent, count or every needed a container to look into: a
  // report shows "nothing to look in: " before it.
  bool nothing_to_look_in = false;
};

struct Verdict {
  std::string name;
  std::string text;            // the expectation as written
  std::optional<bool> holds;   // nullopt: not judged
  std::size_t selected = 0;    // values selected, holes not counted
  std::vector<Finding> found;  // offending ones, at most kMaxFindings, in the
                               // order of the result
  std::size_t more_found = 0;  // offending ones beyond those
  // Why it fails when no finding says it: "nothing selected by
  // 'alarms[*].severity'", "count of 'gateways[*]' is 3"; else "".
  std::string reason;
  // What was expected, shown as "(expected EXPECTED)": "== up", "in minor,
  // warning", "exists", "absent", ">= 12".
  std::string expected;
};

// Judges result against e, walking it once without copying it. The paths of
// the findings name list elements as `names` says (selector.h). The
// findings point into result, which must outlive them.
Verdict judge(const Expectation& e, const Node& result,
              const ElementNames& names = {});

// judge(e, result, names) for every e, in their order. Expectations whose
// selectors go the same way into a list ([*] or [NAME=VALUE]) are judged in
// one walk through it, so that a large list is gone through once for all of
// them.
std::vector<Verdict> judge_all(const std::vector<Expectation>& expectations,
                               const Node& result,
                               const ElementNames& names = {});

// The verdict on an expectation that could not be judged (holds is nullopt).
Verdict not_judged(const Expectation& e);

}  // namespace tarnwick

#endif  // TARNWICK_EXPECT_JUDGE_H_
