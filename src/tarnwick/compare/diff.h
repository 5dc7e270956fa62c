// The comparison of a check's result with the result of an earlier run: what
// changed, was added or was removed, each with its path.
//
// Values are compared in their JSON Lines form (json_form.h): a real that is
// not finite equals null, numbers are equal by value (1.0 equals 1), texts
// by their bytes, and the order of a map's members is not compared. The
// elements of a list are matched by the rules' key where they have one (in
// any order), by position otherwise (list_match.h). An ignored value's
// change is not reported, nor anything inside it; its member or element
// appearing or disappearing is.
#ifndef TARNWICK_COMPARE_DIFF_H_
#define TARNWICK_COMPARE_DIFF_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick/base/value.h"
#include "tarnwick/compare/compare_rules.h"

namespace tarnwick {

// A comparison keeps this many changes, not compared elements and warnings
// of each; it counts those beyond.
inline constexpr std::size_t kMaxChanges = 50;

struct Change {
  enum class Kind { kChanged, kAdded, kRemoved };
  Kind kind = Kind::kChanged;
  // A selector of it: a member by its name, a list element by its key where
  // a key matched it ("gateways[name=edge-2].state"), else by its index from
  // 0: in this run's list, in the earlier list for one removed; "." for the
  // whole result.
  std::string path;
  // What it was: for kChanged and kRemoved; a node of the earlier value.
  std::optional<Node> before;
  // What it is: for kChanged and kAdded; a node of this run's value.
  std::optional<Node> after;
};

struct Comparison {
  // The first kMaxChanges changes in the order of the result: what this run
  // holds in its order, each map's and list's members and elements gone
  // after those it still has.
  std::vector<Change> changes;
  std::size_t more_changes = 0;  // beyond those
  // The paths of the elements that were not compared because they failed in
  // either run (of a compound check's records), in the same order.
  std::vector<std::string> not_compared;
  std::size_t more_not_compared = 0;
  // For the operator, one line each, e.g. "'gateways[name=edge-2]' selects 2
  // elements in this run and 1 in the earlier run: they are matched by
  // position"; a last one counts those beyond kMaxChanges.
  std::vector<std::string> warnings;

  bool unchanged() const { return changes.empty() && more_changes == 0; }
};

// An element request of this run's compound check that failed.
struct FailedElement {
  std::size_t index = 0;  // among the elements, from 0
  Node object;            // the element
};

struct CompareOptions {
  // The results are a compound check's records {"object", "results"}: the
  // records of the list are matched by "object", whatever the key. Records
  // with a member "error" (an earlier run's failed elements) and the
  // elements in `failed` are reported as not compared, never as added,
  // removed or changed.
  bool records = false;
  // This run's failed elements, in element order (records only).
  std::vector<FailedElement> failed;
};

// Compares this run's result `after` with the earlier result `before`. The
// nodes of the changes point into the two values, which must outlive them.
// Linear in the sizes of the two values (keys are hashed); no recursion, so
// any nesting is fine.
Comparison compare_results(const Node& before, const Node& after,
                           const CompareRules& rules,
                           const CompareOptions& options = {});

}  // namespace tarnwick

#endif  // TARNWICK_COMPARE_DIFF_H_
