// The reply decoder shared by decode_json (json.cc) and decode_json_filtered
// (json_filtered.cc): the Decoder that scans a body into Nodes, the key index
// of its large maps and the FilterPlan that tells it what a filter list can
// reach. Its scanning of texts, numbers and words is in json_scan.cc.
// Internal to json*.cc; nothing else may include it.
#ifndef TARNWICK_JSON_SCAN_H_
#define TARNWICK_JSON_SCAN_H_

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/error.h"
#include "tarnwick/literal.h"
#include "tarnwick/text.h"
#include "tarnwick/value.h"

namespace tarnwick {

// Node::size is 32 bits wide.
inline constexpr std::size_t kMaxSize =
    std::numeric_limits<std::uint32_t>::max();

constexpr bool is_json_space(unsigned char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// An index from key to member position for a large map under construction.
// Open addressing over (hash << 32 | position + 1); 0 marks a free slot.
class KeyIndex {
 public:
  // Indexes exactly the members of `members` (whose keys are distinct).
  void build(const Member* members, std::size_t n) {
    slots_.clear();
    grow(n * 2 + 16);
    for (std::size_t i = 0; i < n; ++i) {
      place(hash_of(members[i].name()), static_cast<std::uint32_t>(i));
    }
    count_ = n;
  }

  static std::uint32_t hash_of(std::string_view key) {
    std::size_t h = std::hash<std::string_view>{}(key);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }

  // Starts loading the slot where a lookup of hash h begins.
  void prefetch(std::uint32_t h) const {
    __builtin_prefetch(slots_.data() + (h & (slots_.size() - 1)));
  }

  // The position of the member of `members` with this key (hash h), or
  // inserts `position` for it and returns npos.
  std::size_t find_or_add(const Member* members, std::string_view key,
                          std::uint32_t h, std::size_t position) {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      std::uint64_t s = slots_[i];
      if (s == 0) break;
      if (static_cast<std::uint32_t>(s >> 32) == h) {
        std::size_t at = static_cast<std::uint32_t>(s) - 1;
        if (members[at].name() == key) return at;
      }
    }
    if ((count_ + 1) * 2 > slots_.size()) grow(slots_.size() * 2);
    place(h, static_cast<std::uint32_t>(position));
    ++count_;
    return std::string_view::npos;
  }

 private:
  void place(std::uint32_t h, std::uint32_t position) {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = (std::uint64_t{h} << 32) | (std::uint64_t{position} + 1);
  }

  void grow(std::size_t at_least) {
    std::size_t size = std::bit_ceil(std::max<std::size_t>(at_least, 64));
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(size, 0);
    for (std::uint64_t s : old) {
      if (s != 0)
        place(static_cast<std::uint32_t>(s >> 32),
              static_cast<std::uint32_t>(s) - 1);
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

// What a filter list can reach of one value of a reply.
struct Demand {
  enum Mode : std::uint8_t {
    kNone,  // nothing: the value is checked and skipped
    kFull,  // all of it: it is part of the result
    kTop,   // expression `step` onwards is applied to the value itself
    kItem,  // expression `step` onwards is applied to a list's elements, and
            // the value is one of them
  };
  Mode mode = kFull;
  std::size_t step = 0;
};

// A filter list as the decoder needs it: which members of a map and which
// elements of a list its expressions can reach. It follows filter_results
// step by step; update both together.
class FilterPlan {
 public:
  // Points into filters, which must outlive the plan.
  explicit FilterPlan(const std::vector<std::string>& filters) {
    steps_.reserve(filters.size());
    for (std::string_view expression : filters) {
      Step step{expression, {}, 0};
      std::size_t start = 0;
      for (;;) {
        const std::size_t amp = expression.find('&', start);
        std::string_view key =
            trim_white_space(expression.substr(start, amp - start));
        ++step.pieces;
        if (std::find(step.keys.begin(), step.keys.end(), key) ==
            step.keys.end()) {
          step.keys.push_back(key);
        }
        if (amp == std::string_view::npos) break;
        start = amp + 1;
      }
      steps_.push_back(std::move(step));
    }
  }

  Demand root() const { return at(Demand::kTop, 0); }

  // The demand on each element of a list with demand `list`. A list that is
  // itself an element (kItem) only fails the lookup: its elements are never
  // looked at.
  Demand item(Demand list) const {
    if (list.mode == Demand::kTop) return at(Demand::kItem, list.step);
    if (list.mode == Demand::kFull) return list;
    return {Demand::kNone, 0};
  }

  // The demand on the value under `key` of a map with demand `map`.
  Demand member(Demand map, std::string_view key) const {
    if (map.mode == Demand::kFull || map.mode == Demand::kNone) return map;
    for (std::size_t step = map.step;;) {
      const Step& s = steps_[step];
      if (s.pieces == 1) {
        // A single-key expression looks the expression itself up in a map
        // that it is applied to, and its trimmed key in list elements.
        std::string_view wanted =
            map.mode == Demand::kTop ? s.expression : s.keys.front();
        if (!same_key(key, wanted)) return {Demand::kNone, 0};
        return at(map.mode, step + 1);
      }
      if (std::none_of(s.keys.begin(), s.keys.end(), [key](std::string_view k) {
            return same_key(k, key);
          })) {
        return {Demand::kNone, 0};
      }
      // The value goes into the map that the expression builds, and the next
      // expression is applied to that map as it was to this one.
      if (++step == steps_.size()) return {Demand::kFull, 0};
    }
  }

 private:
  struct Step {
    std::string_view expression;         // as given, for lookups in a map
    std::vector<std::string_view> keys;  // trimmed, distinct, in order
    std::size_t pieces;                  // keys counted with repeats
  };

  Demand at(Demand::Mode mode, std::size_t step) const {
    if (step == steps_.size()) return {Demand::kFull, 0};
    return {mode, step};
  }

  std::vector<Step> steps_;
};

// A list or map that has been opened and not yet closed.
struct OpenContainer {
  bool is_map;
  std::size_t first;       // its first child in items_ or members_
  std::uint32_t key_hash;  // for a map with a KeyIndex: hash of the last key
  std::size_t opened_at;   // byte offset of its bracket
  int key_index;           // its KeyIndex in keys_, or -1
  Demand demand;           // of the container (with a FilterPlan)
  Demand pending;          // of the value of the last key of a map
};

// A container inside a value that is being skipped.
struct SkippedContainer {
  bool is_map;
  std::size_t children;
};

class Decoder {
 public:
  // With a plan, only what the plan's filter list can reach is built; the
  // rest of the body is checked as thoroughly and skipped.
  explicit Decoder(Storage& storage, const FilterPlan* plan = nullptr)
      : arena_(storage.arena),
        begin_(reinterpret_cast<const unsigned char*>(storage.body.data())),
        p_(begin_),
        end_(begin_ + storage.body.size()),
        plan_(plan) {}

  Node decode();

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw Error(ErrorKind::kInvalidReply, "reply is not JSON: " + what);
  }
  [[noreturn]] void fail_unexpected(const unsigned char* at,
                                    const char* context = "") const;
  [[noreturn]] void fail_number(const unsigned char* start,
                                const unsigned char* at) const;
  [[noreturn]] void fail_not_closed() const;
  [[noreturn]] void fail_control(const unsigned char* at) const {
    fail("raw control character " +
         quote_text(std::string_view(reinterpret_cast<const char*>(at), 1)) +
         " in a text" + at_byte(at));
  }
  std::size_t offset(const unsigned char* at) const {
    return static_cast<std::size_t>(at - begin_);
  }
  std::string at_byte(const unsigned char* at) const {
    return " at byte " + std::to_string(offset(at));
  }

  void skip_space() {
    while (p_ != end_ && is_json_space(*p_)) ++p_;
  }

  // keep = false checks the text without keeping an unescaped copy.
  Node decode_text(bool keep = true);
  Node decode_escaped_text(const unsigned char* start, const unsigned char* run,
                           bool keep);
  const unsigned char* scan_plain(const unsigned char* p) const;
  // keep = false checks the number without converting it.
  Node decode_number(bool keep = true);
  bool decode_word(Node& out);
  void open(bool is_map, Demand demand);
  Node close();
  bool decode_key();
  void add_value(OpenContainer& c, const Node& value);
  Demand next_demand() const;
  void skip_value();
  void skip_key();

  Arena& arena_;
  const unsigned char* const begin_;
  const unsigned char* p_;
  const unsigned char* const end_;

  // Children of all open containers, innermost last; reused for every
  // container so that no node costs a heap allocation of its own.
  std::vector<Node> items_;
  std::vector<Member> members_;
  std::vector<OpenContainer> open_;
  std::vector<KeyIndex> keys_;
  std::size_t keys_in_use_ = 0;
  std::string scratch_;
  const FilterPlan* const plan_;
  std::vector<SkippedContainer> skipped_;
};

}  // namespace tarnwick

#endif  // TARNWICK_JSON_SCAN_H_
