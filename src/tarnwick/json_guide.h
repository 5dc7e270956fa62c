// What a caller wants built of a reply: the guide that decode_json consults,
// value by value, to build only part of a reply and check the rest.
#ifndef TARNWICK_JSON_GUIDE_H_
#define TARNWICK_JSON_GUIDE_H_

#include <cstddef>
#include <limits>
#include <string_view>

namespace tarnwick {

// How much of one value is wanted: none of it (it is checked and skipped),
// all of it, or a part, which the guide tells member by member and item by
// item from the state it gave. The decoder never looks into a state.
class Demand {
 public:
  static constexpr Demand none() { return Demand(kNone); }
  static constexpr Demand all() { return Demand(kAll); }
  // state must be below kMaxState.
  static constexpr Demand part(std::size_t state) { return Demand(state); }

  static constexpr std::size_t kMaxState =
      std::numeric_limits<std::size_t>::max() - 1;

  bool is_none() const { return code_ == kNone; }
  bool is_all() const { return code_ == kAll; }
  bool is_part() const { return code_ < kMaxState; }
  std::size_t state() const { return code_; }

 private:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t kAll = kNone - 1;

  constexpr explicit Demand(std::size_t code) : code_(code) {}

  std::size_t code_;
};

// Consulted for the root, and for the children of every value wanted in
// part: the children of a value wanted all or none are wanted alike. Answers
// must depend on their arguments only.
class DecodeGuide {
 public:
  virtual ~DecodeGuide() = default;

  virtual Demand root() const = 0;
  // The demand on every element of a list wanted as `list`.
  virtual Demand item(Demand list) const = 0;
  // The demand on the value under `key` (unescaped) of a map wanted as `map`.
  virtual Demand member(Demand map, std::string_view key) const = 0;
};

}  // namespace tarnwick

#endif  // TARNWICK_JSON_GUIDE_H_
