// The filter rules as the decoder needs them: which parts of a reply a filter
// list can reach, so that filter_reply builds only those.
#ifndef TARNWICK_FILTER_FILTER_PLAN_H_
#define TARNWICK_FILTER_FILTER_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/json/json_guide.h"

namespace tarnwick {

// The keys of a filter expression: the pieces between the "&"s, each trimmed,
// repeats kept. Points into expression.
std::vector<std::string_view> split_keys(std::string_view expression);

// A DecodeGuide that wants of a reply exactly what filter_results, applying
// the filter list, looks at: the members and elements its expressions reach,
// whole once the last expression has reached them, and the kind of whatever
// an expression only looks a key up in. Points into filters, which must
// outlive the plan.
class FilterPlan final : public DecodeGuide {
 public:
  explicit FilterPlan(const std::vector<std::string>& filters);

  Demand root() const override;
  Demand item(Demand list) const override;
  Demand member(Demand map, std::string_view key) const override;

 private:
  struct Step {
    std::string_view expression;         // as given, for lookups in a map
    std::vector<std::string_view> keys;  // trimmed, distinct, in order
    std::size_t pieces;                  // keys counted with repeats
    // Bit n set where a key it can look up may be n bytes long (bit 63 for
    // 63 and more): most keys of a map are turned away by their length.
    std::uint64_t lengths;
  };

  // Expression `step` onwards is applied to the value itself (kTop), or to
  // the elements of a list that the value is one of (kItem).
  enum Mode : std::size_t { kTop, kItem };

  Demand at(Mode mode, std::size_t step) const;
  // member() past the length check; kept out of it, so that the keys turned
  // away cost a few instructions.
  [[gnu::noinline]] Demand follow(Demand map, std::string_view key) const;

  std::vector<Step> steps_;
};

}  // namespace tarnwick

#endif  // TARNWICK_FILTER_FILTER_PLAN_H_
