// Decoding part of a reply: the guide that decode_json consults, value by
// value, to build only what a caller wants of a reply and check the rest.
#ifndef TARNWICK_JSON_JSON_GUIDE_H_
#define TARNWICK_JSON_JSON_GUIDE_H_

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

#include "tarnwick/base/value.h"

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

// decode_json(body), building only what `guide` asks for: a list or map
// holds just the items and members wanted (in their places, a repeated key
// counted once), and a root wanted not at all is null. Everything else is
// checked by the same walk without being built, so the body is accepted or
// rejected exactly as decode_json does it, with the same message.
Value decode_json(std::string body, const DecodeGuide& guide);

// decode_json(body) or decode_json(body, *guide), with texts, numbers and
// containers limited to max_size bytes, items or members instead of 2^32 - 1,
// so that tests can reach the limit. Test-only.
Value decode_json_for_test(std::string body, const DecodeGuide* guide,
                           std::size_t max_size);

}  // namespace tarnwick

#endif  // TARNWICK_JSON_JSON_GUIDE_H_
