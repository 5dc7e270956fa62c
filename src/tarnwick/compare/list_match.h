// Matching the elements of two lists, an earlier run's and this run's, for a
// comparison: by a key member where the elements have one, by position
// otherwise.
#ifndef TARNWICK_COMPARE_LIST_MATCH_H_
#define TARNWICK_COMPARE_LIST_MATCH_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/base/value.h"

namespace tarnwick {

inline constexpr std::uint32_t kNoElement = 0xFFFFFFFF;

// An element of either list with its match in the other, or alone.
struct ElementPair {
  enum Flags : std::uint32_t {
    // Matched by a key that is a scalar and that no other element of either
    // list has: its path may name it by the key.
    kByKey = 1,
    // A record of a failed element (a map with a member "error") on either
    // side: not compared.
    kFailed = 2,
  };
  std::uint32_t before = kNoElement;  // index in the earlier list
  std::uint32_t after = kNoElement;   // index in this run's list
  std::uint32_t flags = 0;
};

// The key of an element: the first of the key names that the element, a
// map, has as a member whose value is not the marker of a missing key
// (kNotFoundMarker, which a filter writes for a member a map lacks).
struct ElementKey {
  const Node* value = nullptr;  // the member's value; null: no key
  std::uint32_t rank = 0;       // of its name among the key names
};

// Finds the keys of elements, remembering where the last shape of map seen
// has them (the maps of a list mostly share one).
class KeyFinder {
 public:
  KeyFinder() = default;
  explicit KeyFinder(std::span<const std::string> names) : names_(names) {}

  // Finds the keys of these names from now on; what it remembers stays when
  // they are the very names it had (the same span).
  void use(std::span<const std::string> names) {
    if (names.data() == names_.data() && names.size() == names_.size()) return;
    *this = KeyFinder(names);
  }

  ElementKey find(const Node& element);

 private:
  // The first key name from rank `from` on that element has, found anew.
  ElementKey search(const Node& element, std::uint32_t from) const;

  std::span<const std::string> names_;
  const Shape* shape_ = nullptr;
  std::uint32_t member_ = kNoElement;  // of the first key name in shape_
  std::uint32_t rank_ = 0;
};

// A key value found in two or more elements of one list.
struct DuplicateKey {
  ElementKey key;
  std::uint32_t in_before = 0;
  std::uint32_t in_after = 0;
};

class ListMatcher {
 public:
  // Matches the elements of the lists `before` and `after`: the elements with
  // a key (see ElementKey) with the element of the other list that has the
  // same key name and an equal value (json_form.h); two or more elements of
  // one list with the same key are matched by position among themselves.
  // The others by position among the others. With records, elements that
  // are maps with a member "error" are marked kFailed.
  //
  // pairs receives, appended: this run's elements in order, each with its
  // match or alone; then the earlier elements left alone, in order. A key
  // held by more than one element of either list is appended to duplicates,
  // once, in the order met. Linear in the sizes of the lists and of their
  // keys (keys are hashed); the matcher keeps its buffers for the next call.
  void match(const Node& before, const Node& after,
             std::span<const std::string> key_names, bool records,
             std::vector<ElementPair>& pairs,
             std::vector<DuplicateKey>& duplicates);

  // Whether an element of either list has a key (see ElementKey). Without
  // one, match() pairs the elements by position, the n-th with the n-th,
  // and flags none but a record of a failed element.
  bool any_keyed(const Node& before, const Node& after,
                 std::span<const std::string> key_names);

 private:
  struct Group {
    const Node* value;   // of the element that made the group
    std::uint32_t hash;  // the high half of the key's hash
    std::uint32_t rank;
    std::uint32_t in_before;
    std::uint32_t in_after;
    std::uint32_t next_before;  // the first earlier element not yet matched
    bool reported;
  };

  // The common case of two lists whose elements have the same keys in the
  // same places, none twice: matched by position, with one look-up per
  // element in a table of hashes instead of two in the table of groups.
  // False, with nothing appended, for any other pair of lists.
  bool match_in_place(const Node& before, const Node& after, bool records,
                      std::vector<ElementPair>& pairs);
  std::uint32_t group_of(const ElementKey& key);
  // Marks a pair found by key, and notes a duplicate key the first time.
  void note_key(std::uint32_t group, ElementPair& pair,
                std::vector<DuplicateKey>& duplicates);

  std::vector<Group> groups_;
  std::vector<std::uint32_t> slots_;  // a group + 1, or 0 for an empty slot
  std::vector<std::uint32_t> group_before_;  // per earlier element
  std::vector<std::uint32_t> group_after_;   // per element of this run
  std::vector<std::uint32_t> chain_;  // the next earlier element of a group
  std::vector<std::uint32_t> unkeyed_before_;
  std::vector<bool> matched_;
  // The maps of the two lists have shapes of their own: a finder for each,
  // kept from list to list (the lists inside the elements of a list mostly
  // have the same shapes).
  KeyFinder finder_before_;
  KeyFinder finder_after_;
  // match_in_place's table: the hash of a key (0 for none), and the element
  // that has it.
  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint32_t> hashed_;
};

}  // namespace tarnwick

#endif  // TARNWICK_COMPARE_LIST_MATCH_H_
