#include "tarnwick/compare/list_match.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tarnwick/base/value.h"
#include "tarnwick/compare/json_form.h"

namespace tarnwick {

namespace {

// The slots of the key table: at least twice the keys, a power of two.
std::size_t table_size(std::size_t keys) {
  std::size_t size = 16;
  while (size < 2 * keys) size *= 2;
  return size;
}

bool is_failed_record(const Node& element) {
  return element.is_map() && element.find("error") != nullptr;
}

}  // namespace

ElementKey KeyFinder::search(const Node& element, std::uint32_t from) const {
  const Shape& shape = *element.members->shape;
  for (std::uint32_t rank = from; rank < names_.size(); ++rank) {
    for (std::uint32_t i = 0; i < shape.size; ++i) {
      if (shape.keys[i].text() != names_[rank]) continue;
      const Node& value = element.members->values[i];
      if (is_not_found_marker(value)) break;
      return {&value, rank};
    }
  }
  return {};
}

ElementKey KeyFinder::find(const Node& element) {
  if (!element.is_map() || element.size == 0 || names_.empty()) return {};
  const Shape* shape = element.members->shape;
  if (shape != shape_) {
    shape_ = shape;
    member_ = kNoElement;
    for (std::uint32_t rank = 0; rank < names_.size() && member_ == kNoElement;
         ++rank) {
      for (std::uint32_t i = 0; i < shape->size; ++i) {
        if (shape->keys[i].text() == names_[rank]) {
          member_ = i;
          rank_ = rank;
          break;
        }
      }
    }
  }
  if (member_ == kNoElement) return {};
  const Node& value = element.members->values[member_];
  if (is_not_found_marker(value)) return search(element, rank_ + 1);
  return {&value, rank_};
}

std::uint32_t ListMatcher::group_of(const ElementKey& key) {
  const std::uint64_t hash = json_hash(*key.value) + key.rank;
  const std::uint32_t high = static_cast<std::uint32_t>(hash >> 32);
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = hash & mask;
  while (slots_[slot] != 0) {
    const std::uint32_t g = slots_[slot] - 1;
    const Group& group = groups_[g];
    if (group.hash == high && group.rank == key.rank &&
        same_json(*group.value, *key.value)) {
      return g;
    }
    slot = (slot + 1) & mask;
  }
  groups_.push_back({key.value, high, key.rank, 0, 0, kNoElement, false});
  slots_[slot] = static_cast<std::uint32_t>(groups_.size());
  return static_cast<std::uint32_t>(groups_.size() - 1);
}

void ListMatcher::note_key(std::uint32_t g, ElementPair& pair,
                           std::vector<DuplicateKey>& duplicates) {
  Group& group = groups_[g];
  if (group.in_before > 1 || group.in_after > 1) {
    if (!group.reported) {
      group.reported = true;
      duplicates.push_back(
          {{group.value, group.rank}, group.in_before, group.in_after});
    }
  } else if (!group.value->is_list() && !group.value->is_map()) {
    pair.flags |= ElementPair::kByKey;
  }
}

bool ListMatcher::match_in_place(const Node& before, const Node& after,
                                 bool records,
                                 std::vector<ElementPair>& pairs) {
  if (before.size != after.size) return false;
  const std::uint32_t n = after.size;
  const std::size_t first = pairs.size();
  // The same keys in the same places, looked at in order: most lists that
  // are not in place show it at once, before a table is made.
  KeyFinder& finder_before = finder_before_;
  KeyFinder& finder_after = finder_after_;
  bool keyed = false;
  for (std::uint32_t i = 0; i < n; ++i) {
    const ElementKey b = finder_before.find(before.items[i]);
    const ElementKey a = finder_after.find(after.items[i]);
    if (a.value == nullptr || b.value == nullptr) {
      if (a.value != b.value) break;
    } else if (a.rank != b.rank || !same_json(*a.value, *b.value)) {
      break;
    }
    ElementPair pair{i, i, 0};
    if (records && (is_failed_record(before.items[i]) ||
                    is_failed_record(after.items[i]))) {
      pair.flags |= ElementPair::kFailed;
    }
    if (a.value != nullptr) {
      keyed = true;
      if (!a.value->is_list() && !a.value->is_map()) {
        pair.flags |= ElementPair::kByKey;
      }
    }
    pairs.push_back(pair);
  }
  if (pairs.size() - first != n || !keyed) {
    if (pairs.size() - first == n) return true;
    pairs.resize(first);
    return false;
  }
  // No key twice in this run's list, and so in the earlier one.
  hashes_.assign(table_size(n), 0);
  hashed_.resize(hashes_.size());
  const std::size_t mask = hashes_.size() - 1;
  for (std::uint32_t i = 0; i < n; ++i) {
    const ElementKey a = finder_after.find(after.items[i]);
    if (a.value == nullptr) continue;
    const std::uint64_t hash = (json_hash(*a.value) + a.rank) | 1;
    std::size_t slot = hash & mask;
    for (; hashes_[slot] != 0; slot = (slot + 1) & mask) {
      if (hashes_[slot] != hash) continue;
      const ElementKey other = finder_after.find(after.items[hashed_[slot]]);
      if (other.rank == a.rank && same_json(*other.value, *a.value)) {
        pairs.resize(first);
        return false;
      }
    }
    hashes_[slot] = hash;
    hashed_[slot] = i;
  }
  return true;
}

bool ListMatcher::any_keyed(const Node& before, const Node& after,
                            std::span<const std::string> key_names) {
  finder_before_.use(key_names);
  finder_after_.use(key_names);
  for (const Node& element : before.list()) {
    if (finder_before_.find(element).value != nullptr) return true;
  }
  for (const Node& element : after.list()) {
    if (finder_after_.find(element).value != nullptr) return true;
  }
  return false;
}

void ListMatcher::match(const Node& before, const Node& after,
                        std::span<const std::string> key_names, bool records,
                        std::vector<ElementPair>& pairs,
                        std::vector<DuplicateKey>& duplicates) {
  finder_before_.use(key_names);
  finder_after_.use(key_names);
  if (match_in_place(before, after, records, pairs)) return;
  const std::uint32_t nb = before.size;
  const std::uint32_t na = after.size;
  groups_.clear();
  slots_.assign(table_size(std::size_t{nb} + na), 0);
  group_before_.assign(nb, kNoElement);
  group_after_.assign(na, kNoElement);
  chain_.assign(nb, kNoElement);
  unkeyed_before_.clear();
  matched_.assign(nb, false);

  // Backwards, so that each group's chain of earlier elements is in order.
  for (std::uint32_t i = nb; i-- > 0;) {
    ElementKey key = finder_before_.find(before.items[i]);
    if (key.value == nullptr) continue;
    const std::uint32_t g = group_of(key);
    Group& group = groups_[g];
    ++group.in_before;
    chain_[i] = group.next_before;
    group.next_before = i;
    group_before_[i] = g;
  }
  for (std::uint32_t i = 0; i < nb; ++i) {
    if (group_before_[i] == kNoElement) unkeyed_before_.push_back(i);
  }
  for (std::uint32_t j = 0; j < na; ++j) {
    ElementKey key = finder_after_.find(after.items[j]);
    if (key.value == nullptr) continue;
    const std::uint32_t g = group_of(key);
    ++groups_[g].in_after;
    group_after_[j] = g;
  }

  std::size_t unkeyed = 0;
  for (std::uint32_t j = 0; j < na; ++j) {
    ElementPair pair;
    pair.after = j;
    const std::uint32_t g = group_after_[j];
    if (g == kNoElement) {
      if (unkeyed < unkeyed_before_.size()) {
        pair.before = unkeyed_before_[unkeyed++];
      }
    } else {
      Group& group = groups_[g];
      if (group.next_before != kNoElement) {
        pair.before = group.next_before;
        group.next_before = chain_[pair.before];
      }
      note_key(g, pair, duplicates);
    }
    if (pair.before != kNoElement) matched_[pair.before] = true;
    if (records && (is_failed_record(after.items[j]) ||
                    (pair.before != kNoElement &&
                     is_failed_record(before.items[pair.before])))) {
      pair.flags |= ElementPair::kFailed;
    }
    pairs.push_back(pair);
  }
  for (std::uint32_t i = 0; i < nb; ++i) {
    if (matched_[i]) continue;
    ElementPair pair;
    pair.before = i;
    if (group_before_[i] != kNoElement) {
      note_key(group_before_[i], pair, duplicates);
    }
    if (records && is_failed_record(before.items[i])) {
      pair.flags |= ElementPair::kFailed;
    }
    pairs.push_back(pair);
  }
}

}  // namespace tarnwick
