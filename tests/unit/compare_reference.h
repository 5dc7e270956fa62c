// A plain restatement of the comparison with an earlier run (compare/diff.h
// and compare/list_match.h): recursive, quadratic, without the fast paths of
// compare_results (equal scalars passed over, maps with the same names in
// the same places, keyed lists in place, hashed keys, selectors kept alive
// from step to step). The unit test of the comparison and the compare fuzz
// target hold compare_results against it. It shares the value types, JSON
// Lines equality (json_form.h), the rule of a selector's step and the path
// writer with the code under test, nothing else.
#ifndef TARNWICK_TESTS_COMPARE_REFERENCE_H_
#define TARNWICK_TESTS_COMPARE_REFERENCE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/value.h"
#include "tarnwick/compare/compare_rules.h"
#include "tarnwick/compare/diff.h"
#include "tarnwick/compare/json_form.h"
#include "tarnwick/select/path.h"
#include "tarnwick/select/selector.h"

namespace tarnwick::reference {

struct RefChange {
  Change::Kind kind;
  std::string path;
  const Node* before;  // null for an added value
  const Node* after;   // null for a removed value
};

struct RefComparison {
  std::vector<RefChange> changes;  // all of them
  std::vector<std::string> not_compared;
  bool too_deep = false;  // nested past the reference's bound: not compared
};

class Comparer {
 public:
  Comparer(const CompareRules& rules, const CompareOptions& options)
      : rules_(rules), options_(options) {}

  RefComparison run(const Node& before, const Node& after) {
    for (const Selector& s : rules_.ignore_paths) {
      if (s.steps().empty()) return std::move(out_);
    }
    const Node& merged = with_failures(after);
    if (!is_container(before) || before.kind != merged.kind) {
      if (!same_json_scalar(before, after)) {
        out_.changes.push_back({Change::Kind::kChanged, ".", &before, &after});
      }
      return std::move(out_);
    }
    containers(before, merged, "");
    return std::move(out_);
  }

 private:
  // A step from the whole result down to a value, on both sides.
  struct Place {
    static Place of_member(std::string_view name) {
      Place p;
      p.member = true;
      p.name = name;
      return p;
    }
    bool member = false;
    std::string_view name;
    const Node* before_list = nullptr;
    const Node* after_list = nullptr;
    std::optional<std::uint32_t> before_index;
    std::optional<std::uint32_t> after_index;
  };
  struct Key {
    const Node* value = nullptr;
    std::uint32_t rank = 0;
  };
  struct Pair {
    std::optional<std::uint32_t> before, after;
    bool by_key = false;
    bool failed = false;
  };

  static bool is_container(const Node& v) { return v.is_list() || v.is_map(); }

  // The failed elements in their places among this run's records.
  const Node& with_failures(const Node& after) {
    if (!options_.records || options_.failed.empty() || !after.is_list()) {
      return after;
    }
    const Node keys[] = {builder_.text("object"), builder_.text("error")};
    const Shape* shape = builder_.shape(keys);
    std::size_t next = 0;
    auto put_failed = [&] {
      const Node values[] = {options_.failed[next++].object,
                             Node::boolean(true)};
      merged_.push_back(builder_.map(shape, values));
    };
    for (const Node& record : after.list()) {
      while (next < options_.failed.size() &&
             options_.failed[next].index <= merged_.size()) {
        put_failed();
      }
      merged_.push_back(record);
    }
    while (next < options_.failed.size()) put_failed();
    merged_list_ = Node::list_of(merged_);
    return merged_list_;
  }

  std::vector<std::string> keys_at(std::size_t depth) const {
    if (options_.records && depth == 0) return {"object"};
    return rules_.key;
  }

  static Key key_of(const Node& element, const std::vector<std::string>& keys) {
    if (!element.is_map()) return {};
    for (std::uint32_t rank = 0; rank < keys.size(); ++rank) {
      const Node* m = element.find(keys[rank]);
      if (m != nullptr && !is_not_found_marker(*m)) return {m, rank};
    }
    return {};
  }

  static bool same_group(const Key& a, const Key& b) {
    return a.value != nullptr && b.value != nullptr && a.rank == b.rank &&
           same_json(*a.value, *b.value);
  }

  bool is_failed(const Node& element) const {
    return options_.records && element.is_map() &&
           element.find("error") != nullptr;
  }

  std::vector<Pair> match(const Node& before, const Node& after,
                          const std::vector<std::string>& keys) const {
    std::vector<Key> bk, ak;
    for (const Node& e : before.list()) bk.push_back(key_of(e, keys));
    for (const Node& e : after.list()) ak.push_back(key_of(e, keys));
    // Whether the key k is held by at most one element of each list.
    auto unique = [&](const Key& k) {
      std::size_t in_before = 0, in_after = 0;
      for (const Key& b : bk) in_before += same_group(b, k);
      for (const Key& a : ak) in_after += same_group(a, k);
      return in_before <= 1 && in_after <= 1 && !is_container(*k.value);
    };
    std::vector<bool> taken(before.size, false);
    std::vector<Pair> pairs;
    for (std::uint32_t j = 0; j < after.size; ++j) {
      Pair p;
      p.after = j;
      for (std::uint32_t i = 0; i < before.size; ++i) {
        const bool fits = ak[j].value == nullptr ? bk[i].value == nullptr
                                                 : same_group(bk[i], ak[j]);
        if (!taken[i] && fits) {
          p.before = i;
          taken[i] = true;
          break;
        }
      }
      p.by_key = ak[j].value != nullptr && unique(ak[j]);
      p.failed = is_failed(after.items[j]) ||
                 (p.before && is_failed(before.items[*p.before]));
      pairs.push_back(p);
    }
    for (std::uint32_t i = 0; i < before.size; ++i) {
      if (taken[i]) continue;
      Pair p;
      p.before = i;
      p.by_key = bk[i].value != nullptr && unique(bk[i]);
      p.failed = is_failed(before.items[i]);
      pairs.push_back(p);
    }
    return pairs;
  }

  bool ignored(const Place& child) const {
    for (const Selector& s : rules_.ignore_paths) {
      if (s.steps().size() != places_.size() + 1) continue;
      bool all = true;
      for (std::size_t i = 0; all && i < s.steps().size(); ++i) {
        all = matches(s.steps()[i], i < places_.size() ? places_[i] : child);
      }
      if (all) return true;
    }
    return false;
  }

  static bool matches(const Selector::Step& s, const Place& p) {
    if (!s.into_list()) return p.member && p.name == s.name;
    if (p.member) return false;
    auto selects = [&](const Node* list, std::optional<std::uint32_t> i) {
      return i && s.selects(list->items[*i], *i, list->size);
    };
    return selects(p.before_list, p.before_index) ||
           selects(p.after_list, p.after_index);
  }

  void containers(const Node& before, const Node& after,
                  const std::string& path) {
    if (places_.size() > 200) {
      out_.too_deep = true;
      return;
    }
    if (after.is_map()) {
      for (MemberRef m : after.map()) {
        child(before.find(m.name()), &m.value, Place::of_member(m.name()),
              path);
      }
      for (MemberRef m : before.map()) {
        if (after.find(m.name()) == nullptr) {
          child(&m.value, nullptr, Place::of_member(m.name()), path);
        }
      }
      return;
    }
    const std::vector<std::string> keys = keys_at(places_.size());
    for (const Pair& pair : match(before, after, keys)) {
      const Node* b = pair.before ? &before.items[*pair.before] : nullptr;
      const Node* a = pair.after ? &after.items[*pair.after] : nullptr;
      std::string at = path;
      const Key key = pair.by_key ? key_of(a ? *a : *b, keys) : Key();
      if (key.value == nullptr ||
          !append_where_step(at, keys[key.rank], *key.value)) {
        append_index_step(at, pair.after ? *pair.after : *pair.before);
      }
      if (pair.failed) {
        out_.not_compared.push_back(at);
        continue;
      }
      Place p;
      p.before_list = &before;
      p.after_list = &after;
      p.before_index = pair.before;
      p.after_index = pair.after;
      visit(b, a, p, at);
    }
  }

  void child(const Node* before, const Node* after, const Place& p,
             const std::string& path) {
    std::string at = path;
    append_member_step(at, p.name);
    visit(before, after, p, at);
  }

  void visit(const Node* before, const Node* after, const Place& p,
             const std::string& path) {
    if (before == nullptr) {
      out_.changes.push_back({Change::Kind::kAdded, path, nullptr, after});
      return;
    }
    if (after == nullptr) {
      out_.changes.push_back({Change::Kind::kRemoved, path, before, nullptr});
      return;
    }
    if (p.member) {
      for (const std::string& name : rules_.ignore_names) {
        if (name == p.name) return;
      }
    }
    if (ignored(p)) return;
    if (is_container(*before) && before->kind == after->kind) {
      places_.push_back(p);
      containers(*before, *after, path);
      places_.pop_back();
      return;
    }
    if (!same_json_scalar(*before, *after)) {
      out_.changes.push_back({Change::Kind::kChanged, path, before, after});
    }
  }

  const CompareRules& rules_;
  const CompareOptions& options_;
  RefComparison out_;
  std::vector<Place> places_;  // of the containers being compared
  ValueBuilder builder_;
  std::vector<Node> merged_;
  Node merged_list_;
};

// Where c, as compare_results found it, differs from what the reference
// finds: "" when it does not (or the values are nested past its bound).
inline std::string difference_from_reference(const Node& before,
                                             const Node& after,
                                             const CompareRules& rules,
                                             const CompareOptions& options,
                                             const Comparison& c) {
  // The comparer holds the records it builds, which r points into.
  Comparer comparer(rules, options);
  const RefComparison r = comparer.run(before, after);
  if (r.too_deep) return "";
  auto same = [](const std::optional<Node>& a, const Node* b) {
    return a.has_value() == (b != nullptr) && (!a || same_value(*a, *b));
  };
  if (c.changes.size() + c.more_changes != r.changes.size()) {
    return std::to_string(c.changes.size() + c.more_changes) +
           " changes, the reference finds " + std::to_string(r.changes.size());
  }
  for (std::size_t i = 0; i < c.changes.size(); ++i) {
    const Change& x = c.changes[i];
    const RefChange& y = r.changes[i];
    if (x.kind != y.kind || x.path != y.path || !same(x.before, y.before) ||
        !same(x.after, y.after)) {
      return "change " + std::to_string(i) + " at " + x.path +
             ", the reference's at " + y.path;
    }
  }
  const std::size_t kept = std::min(r.not_compared.size(), kMaxChanges);
  if (c.not_compared.size() + c.more_not_compared != r.not_compared.size() ||
      !std::equal(c.not_compared.begin(), c.not_compared.end(),
                  r.not_compared.begin(), r.not_compared.begin() + kept)) {
    return "the elements not compared differ";
  }
  return "";
}

}  // namespace tarnwick::reference

#endif  // TARNWICK_TESTS_COMPARE_REFERENCE_H_
