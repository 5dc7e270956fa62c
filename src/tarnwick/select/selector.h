// Selectors: paths into a check's result, such as "gateways[*].state", and
// the walk that finds what one selects. Parsed in selector_parse.cc, walked
// in selector_walk.cc; the paths of what a walk reaches are written by
// path.cc.
//
//   .                  the whole result (a leading "." is allowed before any
//                      selector: ".gateways", ".[0]")
//   NAME  ."NAME"      the member NAME of a map: letters, digits, "_" and "-"
//                      as they are, any other name as a JSON string
//   [N]                element N of a list, 0 first, -1 last
//   [*]                every element of a list
//   [NAME=VALUE]       every element of a list that is a map whose member
//                      NAME equals VALUE (operand.h); VALUE is JSON or a bare
//                      word without "]", "=" or ","
#ifndef TARNWICK_SELECT_SELECTOR_H_
#define TARNWICK_SELECT_SELECTOR_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/value.h"
#include "tarnwick/select/step.h"

namespace tarnwick {

// A selector has at most this many steps; the walk recurses once per step.
inline constexpr std::size_t kMaxSelectorSteps = 1000;

class Selector;

// How the paths of what a walk reaches name the elements of lists: by a key
// member where one names an element alone (its step "[KEY=VALUE]" selects
// it and no other element of its list), else by the index.
struct ElementNames {
  // The member names that may name an element that is a map, tried in this
  // order: the first the element holds (other than as the marker) is its
  // key, which must be a scalar. None: indexes only.
  std::vector<std::string> keys;
  // The whole result is a compound check's list of records, named by their
  // member "object".
  bool records = false;
  // The elements of those records that failed (from 0, in order), which the
  // result as printed holds in their places: the whole result's list is
  // indexed as if they were in it.
  std::vector<std::size_t> failed;
};

// What a walk reaches: a value, or a hole where the selector expected one (a
// map without the member, a value of the wrong kind for a step, an index
// past the end, or the text kNotFoundMarker). Valid only during the call
// that hands it over.
struct Reached {
  enum class Hole : std::uint8_t {
    kNone,           // a value
    kMissingMember,  // `value` is the map without the member
    kWrongKind,      // `value` is what the step could not be taken on
    kPastEnd,        // `value` is the list too short for the index
    kMarker,         // `value` is the marker text
  };

  const Node* value = nullptr;
  Hole hole = Hole::kNone;

  bool is_hole() const { return hole != Hole::kNone; }

  // For a hole, the index of the step that could not be taken: the last
  // step of its path, or for the marker the step that would have been taken
  // on it.
  std::size_t step() const {
    return hole == Hole::kMarker ? steps_ : steps_ - 1;
  }

  // The path to it as a selector, list elements named as `names` says
  // ("gateways[name=gw-2].state"), else by their index from 0
  // ("gateways[1].state"); "." for the whole result. For a hole it ends
  // with the step that found nothing, as written ("gateways[5]",
  // "alarms[*]"), so that the path selects the same hole again.
  std::string path(const ElementNames& names = {}) const;

  // Why a hole is one, for a reader ("gateways is a list", "gateways has 3
  // items", "marked 'FILTER_NOT_FOUND'"); "" for a missing member and for a
  // value.
  std::string note(const ElementNames& names = {}) const;

 private:
  friend class Selector;
  // An element taken by a step into a list.
  struct Taken {
    const Node* list;
    std::size_t index;
  };
  const Selector* selector_ = nullptr;
  const Taken* taken_ = nullptr;  // one per step; set for steps into lists
  std::size_t steps_ = 0;         // steps the path is made of
  bool last_as_written_ = false;

  std::string path_of(std::size_t steps, bool last_as_written,
                      const ElementNames& names) const;
};

class SelectionVisitor {
 public:
  virtual ~SelectionVisitor() = default;
  virtual void reached(const Reached& r) = 0;
};

class Selector {
 public:
  using Step = SelectorStep;

  // The whole result.
  Selector() : text_(".") {}

  // Reads a selector, text being all of it (it holds no blank outside
  // double quotes). Throws Error(kBadExpectation) saying what is wrong, e.g.
  // "'[' without its ']'". Linear in the size of text.
  static Selector parse(std::string_view text);

  const std::string& text() const { return text_; }
  const std::vector<Step>& steps() const { return steps_; }

  // Whether the last step is "[*]" or "[NAME=VALUE]", so that the selector
  // may select any number of values.
  bool ends_in_many() const;

  // The index of its last step into a list ([N], [*] or [NAME=VALUE]), or
  // nullopt when it has none.
  std::optional<std::size_t> last_list_step() const;

  // Hands the visitor every value and every hole the selector reaches in
  // root, in the order of the result. Nothing is copied; the recursion goes
  // one level per step.
  void walk(const Node& root, SelectionVisitor& visitor) const;

  // How many of their first steps this selector and other have alike.
  std::size_t common_steps(const Selector& other) const;

  // walk(root, *visitors[k]) for every selectors[k], the first `shared`
  // steps of which are alike (common_steps): those steps are taken once
  // for all, and what lies past them is walked for each selector in turn,
  // so that a large list is gone through once. Each visitor gets what
  // walk() would hand it, in the same order.
  static void walk_together(const Node& root,
                            std::span<const Selector* const> selectors,
                            std::span<SelectionVisitor* const> visitors,
                            std::size_t shared);

 private:
  friend struct Reached;
  class Walker;

  std::string text_;
  std::vector<Step> steps_;
};

}  // namespace tarnwick

#endif  // TARNWICK_SELECT_SELECTOR_H_
