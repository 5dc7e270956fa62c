#include "tarnwick/filter/filter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/filter/filter_plan.h"
#include "tarnwick/json/json.h"
#include "tarnwick/json/json_guide.h"

namespace tarnwick {

namespace {

void require_map(const Node& element, std::string_view key) {
  if (!element.is_map()) {
    throw Error(ErrorKind::kType, "cannot look up " + quote_text(key) + " in " +
                                      type_of(element));
  }
}

// The new nodes of one filter_results call: built lists and maps, their keys
// and the marker, all in one arena that also keeps the input alive.
class ResultBuilder {
 public:
  explicit ResultBuilder(const Value& results) : results_(results) {}

  Node build_single(const Node& list, std::string_view key);
  Node build_multi(const Node& list_or_map,
                   std::span<const std::string_view> keys);

  Value finish(const Node& root) {
    if (!builder_) return results_.child(root);
    return builder_->finish(root);
  }

  // The text that stands in for a missing key; made once per call.
  Node marker() {
    if (!marker_) marker_ = builder().text(kNotFoundMarker);
    return *marker_;
  }

 private:
  ValueBuilder& builder() {
    if (!builder_) {
      builder_.emplace();
      builder_->share(results_);
    }
    return *builder_;
  }
  Node map_of(const Node& map);
  std::size_t slot_of(std::string_view name) const;

  const Value& results_;
  std::optional<ValueBuilder> builder_;
  std::optional<Node> marker_;
  // Set up by build_multi for the current expression.
  std::vector<Node> key_nodes_;  // the distinct keys, in order
  // Points into the caller's expressions, which outlive the call.
  std::vector<std::string_view> keys_;  // the distinct keys, in order
  std::unordered_map<std::string_view, std::size_t> slot_of_key_;
  std::vector<const Node*> found_;  // per distinct key
  const Shape* shape_ = nullptr;    // of the maps it builds
  std::vector<Node> values_;        // of the map being built
};

// A single-key expression over a list: the element values under key.
Node ResultBuilder::build_single(const Node& list, std::string_view key) {
  Node* items = builder().arena().allocate_array<Node>(list.size);
  for (std::size_t i = 0; i < list.size; ++i) {
    const Node& element = list.items[i];
    require_map(element, key);
    const Node* value = element.find(key);
    if (value == nullptr) {
      // Counted from 1, as an operator counts the rows of a list.
      throw Error(ErrorKind::kMissingKey, quote_text(key) +
                                              " is missing from list element " +
                                              std::to_string(i + 1) + " of " +
                                              std::to_string(list.size));
    }
    items[i] = *value;
  }
  return Node::list_of({items, list.size});
}

// One map of the distinct keys, in order, for a multi-key expression.
Node ResultBuilder::map_of(const Node& map) {
  // One pass over the map's members finds every key, so a long expression
  // over a wide map stays linear; the first member of a name counts, as in
  // Node::find.
  std::fill(found_.begin(), found_.end(), nullptr);
  for (MemberRef m : map.map()) {
    const std::size_t slot = slot_of(m.name());
    if (slot != std::string_view::npos && found_[slot] == nullptr) {
      found_[slot] = &m.value;
    }
  }
  values_.clear();
  for (std::size_t k = 0; k < key_nodes_.size(); ++k)
    values_.push_back(found_[k] != nullptr ? *found_[k] : marker());
  return builder().map(shape_, values_);
}

// Where a key of the current expression goes in its maps, or npos. A few keys
// are compared one by one, which beats hashing every member's name.
std::size_t ResultBuilder::slot_of(std::string_view name) const {
  constexpr std::size_t kLinearKeys = 8;
  if (keys_.size() <= kLinearKeys) {
    for (std::size_t k = 0; k < keys_.size(); ++k) {
      if (same_key(keys_[k], name)) return k;
    }
    return std::string_view::npos;
  }
  auto slot = slot_of_key_.find(name);
  return slot != slot_of_key_.end() ? slot->second : std::string_view::npos;
}

// A multi-key expression: one map for a map, a list of maps for a list.
Node ResultBuilder::build_multi(const Node& list_or_map,
                                std::span<const std::string_view> keys) {
  key_nodes_.clear();
  keys_.clear();
  slot_of_key_.clear();
  for (std::string_view key : keys) {
    if (slot_of_key_.emplace(key, key_nodes_.size()).second) {
      key_nodes_.push_back(builder().text(key));
      keys_.push_back(key);
    }
  }
  found_.assign(key_nodes_.size(), nullptr);
  shape_ = builder().shape(key_nodes_);

  if (list_or_map.is_map()) return map_of(list_or_map);
  Node* items = builder().arena().allocate_array<Node>(list_or_map.size);
  for (std::size_t i = 0; i < list_or_map.size; ++i) {
    require_map(list_or_map.items[i], keys.front());
    items[i] = map_of(list_or_map.items[i]);
  }
  return Node::list_of({items, list_or_map.size});
}

}  // namespace

Value filter_results(const Value& results,
                     const std::vector<std::string>& filters) {
  if (filters.empty()) return results;
  ResultBuilder built(results);
  // Each expression works on the whole result of the one before it.
  Node current = results.node();
  for (const std::string& expression : filters) {
    std::vector<std::string_view> keys = split_keys(expression);
    if (current.is_list()) {
      current = keys.size() == 1 ? built.build_single(current, keys.front())
                                 : built.build_multi(current, keys);
    } else if (current.is_map()) {
      if (keys.size() == 1) {
        // The expression as received, not trimmed: check files hand it over
        // trimmed already.
        const Node* value = current.find(expression);
        current = value != nullptr ? *value : built.marker();
      } else {
        current = built.build_multi(current, keys);
      }
    } else {
      return Value();
    }
  }
  return built.finish(current);
}

Value filter_reply(std::string body, const std::vector<std::string>& filters) {
  if (filters.empty()) return decode_json(std::move(body));
  const FilterPlan plan(filters);
  return filter_results(decode_json(std::move(body), plan), filters);
}

}  // namespace tarnwick
