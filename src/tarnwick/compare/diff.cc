#include "tarnwick/compare/diff.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/compare/json_form.h"
#include "tarnwick/compare/list_match.h"
#include "tarnwick/select/path.h"
#include "tarnwick/select/selector.h"

namespace tarnwick {

namespace {

const std::string kObject[] = {"object"};

// How a value is reached from the container that holds it, in both results.
struct Step {
  enum class Kind : std::uint8_t { kRoot, kMember, kElement };
  Kind kind = Kind::kRoot;
  bool by_key = false;           // an element matched by a key of its own
  bool failed = false;           // an element of a failed record: not compared
  const Node* before = nullptr;  // null: not in the earlier result
  const Node* after = nullptr;   // null: not in this run's
  std::string_view name;         // of a member
  std::uint32_t before_index = kNoElement;  // of an element
  std::uint32_t after_index = kNoElement;
};

// A pair of maps or lists being compared, and where the comparison is.
struct Frame {
  enum class Mode : std::uint8_t {
    kMapAligned,  // the same names in the same places
    kMapPaired,   // members paired by name in pairs_
    kListByPosition,
    kListMatched,  // elements matched in pairs_
  };
  Step step;
  Mode mode = Mode::kMapAligned;
  bool records = false;     // the list of a compound check's records
  std::uint32_t depth = 0;  // steps from the whole result
  std::size_t next = 0;     // the next pair to compare
  std::size_t count = 0;    // of pairs
  std::size_t pairs = 0;    // its first pair in pairs_
  // The selectors of ignore_paths whose steps so far lead here, in alive_.
  std::size_t alive = 0;
  std::size_t alive_end = 0;
};

bool is_container(const Node& v) { return v.is_list() || v.is_map(); }

// Whether the step into a list selects element i of list, where there is
// such an element (i is not kNoElement).
bool selects(const Selector::Step& s, const Node& list, std::uint32_t i) {
  return i != kNoElement && s.selects(list.items[i], i, list.size);
}

std::string elements(std::uint32_t n) {
  return std::to_string(n) + (n == 1 ? " element" : " elements");
}

class Comparer {
 public:
  Comparer(const CompareRules& rules, const CompareOptions& options,
           Comparison& out)
      : rules_(rules), options_(options), out_(out) {}

  void run(const Node& before, const Node& after);

 private:
  std::span<const std::string> keys_of(const Frame& list) const {
    if (list.records) return kObject;
    return rules_.key;
  }
  const Node& with_failures(const Node& after);
  void open(const Step& step, std::uint32_t depth, std::size_t alive);
  void plan_map(Frame& f);
  void plan_list(Frame& f);
  void pass_equal_scalars(Frame& f) const;
  Step child_step(const Frame& f, std::size_t k) const;
  void visit(const Step& child);
  bool ends_ignored(const Frame& parent, const Step& child, bool keep);
  bool step_matches(const Selector::Step& s, const Frame& parent,
                    const Step& child) const;
  bool is_ignored_name(std::string_view name) const;
  bool same_names(const Node& before, const Node& after, std::uint32_t depth);
  void append_step(std::string& path, const Step& step,
                   const Frame& parent) const;
  std::string path_to(const Step* child) const;
  void record(Change::Kind kind, const Step& step);
  void warn(const Frame& list, const DuplicateKey& duplicate);

  const CompareRules& rules_;
  const CompareOptions& options_;
  Comparison& out_;
  const Node* after_root_ = nullptr;  // as the caller gave it
  std::vector<Frame> stack_;
  std::vector<ElementPair> pairs_;
  std::vector<std::uint32_t> alive_;
  std::vector<DuplicateKey> duplicates_;
  std::vector<std::uint32_t> member_index_;
  std::vector<bool> member_seen_;
  ListMatcher matcher_;
  // Per depth, the last two shapes found there to have the same names in the
  // same places: the maps at one depth mostly share their shapes.
  std::vector<std::pair<const Shape*, const Shape*>> same_shapes_;
  // The records of this run with its failed elements in their places, as
  // the JSON Lines form has them, and where the failed ones are built.
  std::unique_ptr<ValueBuilder> builder_;
  std::vector<Node> merged_;
  Node merged_list_;
  std::size_t more_warnings_ = 0;
};

// A failed element stands in the list of records as {"object": ELEMENT,
// "error": true}: as a record of a failed element in the earlier run's file.
const Node& Comparer::with_failures(const Node& after) {
  if (!options_.records || options_.failed.empty() || !after.is_list()) {
    return after;
  }
  builder_ = std::make_unique<ValueBuilder>();
  const Node keys[] = {builder_->text("object"), builder_->text("error")};
  const Shape* shape = builder_->shape(keys);
  std::size_t record = 0;
  auto failed = options_.failed.begin();
  while (record < after.size || failed != options_.failed.end()) {
    if (failed != options_.failed.end() &&
        (failed->index <= merged_.size() || record == after.size)) {
      const Node values[] = {failed->object, Node::boolean(true)};
      merged_.push_back(builder_->map(shape, values));
      ++failed;
    } else {
      merged_.push_back(after.items[record++]);
    }
  }
  merged_list_ = Node::list_of(merged_);
  return merged_list_;
}

void Comparer::run(const Node& before, const Node& after) {
  after_root_ = &after;
  Step root;
  root.before = &before;
  root.after = &with_failures(after);
  for (const Selector& s : rules_.ignore_paths) {
    if (s.steps().empty()) return;  // "." ignores the whole result
  }
  if (!is_container(before) || before.kind != root.after->kind) {
    if (!same_json_scalar(before, after)) record(Change::Kind::kChanged, root);
    return;
  }
  for (std::uint32_t i = 0; i < rules_.ignore_paths.size(); ++i) {
    alive_.push_back(i);
  }
  open(root, 0, 0);
  while (!stack_.empty()) {
    Frame& f = stack_.back();
    if (f.next == f.count) {
      pairs_.resize(f.pairs);
      alive_.resize(f.alive);
      stack_.pop_back();
      continue;
    }
    pass_equal_scalars(f);
    if (f.next == f.count) continue;
    visit(child_step(f, f.next++));  // may push a frame: f is invalid then
  }
  if (more_warnings_ > 0) {
    out_.warnings.push_back("and " + std::to_string(more_warnings_) +
                            " more duplicate keys");
  }
}

// Pushes the frame of two maps or two lists; the selectors alive there are
// alive_[alive..].
void Comparer::open(const Step& step, std::uint32_t depth, std::size_t alive) {
  Frame& f = stack_.emplace_back();
  f.step = step;
  f.depth = depth;
  f.alive = alive;
  f.alive_end = alive_.size();
  f.pairs = pairs_.size();
  if (step.after->is_map()) {
    plan_map(f);
  } else {
    plan_list(f);
  }
}

void Comparer::plan_map(Frame& f) {
  const Node& before = *f.step.before;
  const Node& after = *f.step.after;
  if (same_names(before, after, f.depth)) {
    f.mode = Frame::Mode::kMapAligned;
    f.count = after.size;
    return;
  }
  f.mode = Frame::Mode::kMapPaired;
  pair_members(after, before, member_index_);
  member_seen_.assign(before.size, false);
  for (std::uint32_t j = 0; j < after.size; ++j) {
    const std::uint32_t i = member_index_[j];
    pairs_.push_back({i == kNoMember ? kNoElement : i, j, 0});
    if (i != kNoMember) member_seen_[i] = true;
  }
  for (std::uint32_t i = 0; i < before.size; ++i) {
    if (!member_seen_[i]) pairs_.push_back({i, kNoElement, 0});
  }
  f.count = pairs_.size() - f.pairs;
}

void Comparer::plan_list(Frame& f) {
  f.records = options_.records && f.depth == 0;
  const std::span<const std::string> keys = keys_of(f);
  // Two lists none of whose elements has a key are matched by position, as
  // the matcher would match them, without its pairs; a compound check's
  // records are left to the matcher, which marks the failed ones.
  if (keys.empty() ||
      (!f.records &&
       !matcher_.any_keyed(*f.step.before, *f.step.after, keys))) {
    f.mode = Frame::Mode::kListByPosition;
    f.count = std::max(f.step.before->size, f.step.after->size);
    return;
  }
  f.mode = Frame::Mode::kListMatched;
  duplicates_.clear();
  matcher_.match(*f.step.before, *f.step.after, keys, f.records, pairs_,
                 duplicates_);
  f.count = pairs_.size() - f.pairs;
  for (const DuplicateKey& d : duplicates_) warn(f, d);
}

bool Comparer::same_names(const Node& before, const Node& after,
                          std::uint32_t depth) {
  if (before.size != after.size) return false;
  if (before.size == 0) return true;
  const Shape* b = before.members->shape;
  const Shape* a = after.members->shape;
  if (b == a) return true;
  if (same_shapes_.size() <= depth) same_shapes_.resize(depth + 1);
  std::pair<const Shape*, const Shape*>& known = same_shapes_[depth];
  if (b == known.first && a == known.second) return true;
  for (std::uint32_t i = 0; i < b->size; ++i) {
    if (!same_key(b->keys[i].text(), a->keys[i].text())) return false;
  }
  known = {b, a};
  return true;
}

// Steps over the pairs from f.next on that are equal scalars in the same
// place (the members of maps with the same names in the same places, the
// elements of lists compared by position): whatever the rules, nothing is
// reported of them, so no step is made for them.
void Comparer::pass_equal_scalars(Frame& f) const {
  const Node* before;
  const Node* after;
  std::size_t end;
  if (f.mode == Frame::Mode::kMapAligned) {
    if (f.count == 0) return;
    before = f.step.before->members->values;
    after = f.step.after->members->values;
    end = f.count;
  } else if (f.mode == Frame::Mode::kListByPosition) {
    before = f.step.before->items;
    after = f.step.after->items;
    end = std::min(f.step.before->size, f.step.after->size);
  } else {
    return;
  }
  while (f.next < end && same_scalar_quickly(before[f.next], after[f.next])) {
    ++f.next;
  }
}

Step Comparer::child_step(const Frame& f, std::size_t k) const {
  const Node& before = *f.step.before;
  const Node& after = *f.step.after;
  Step s;
  if (f.mode == Frame::Mode::kMapAligned) {
    s.kind = Step::Kind::kMember;
    s.before = &before.members->values[k];
    s.after = &after.members->values[k];
    s.name = after.members->shape->keys[k].text();
    return s;
  }
  ElementPair p;
  if (f.mode == Frame::Mode::kListByPosition) {
    if (k < before.size) p.before = static_cast<std::uint32_t>(k);
    if (k < after.size) p.after = static_cast<std::uint32_t>(k);
  } else {
    p = pairs_[f.pairs + k];
  }
  if (f.mode == Frame::Mode::kMapPaired) {
    s.kind = Step::Kind::kMember;
    if (p.before != kNoElement) s.before = &before.members->values[p.before];
    if (p.after != kNoElement) s.after = &after.members->values[p.after];
    s.name = p.after != kNoElement
                 ? after.members->shape->keys[p.after].text()
                 : before.members->shape->keys[p.before].text();
    return s;
  }
  s.kind = Step::Kind::kElement;
  if (p.before != kNoElement) s.before = &before.items[p.before];
  if (p.after != kNoElement) s.after = &after.items[p.after];
  s.before_index = p.before;
  s.after_index = p.after;
  s.by_key = p.flags & ElementPair::kByKey;
  s.failed = p.flags & ElementPair::kFailed;
  return s;
}

void Comparer::visit(const Step& child) {
  if (child.failed) {
    if (out_.not_compared.size() < kMaxChanges) {
      out_.not_compared.push_back(path_to(&child));
    } else {
      ++out_.more_not_compared;
    }
    return;
  }
  if (child.before == nullptr) return record(Change::Kind::kAdded, child);
  if (child.after == nullptr) return record(Change::Kind::kRemoved, child);
  if (child.kind == Step::Kind::kMember && is_ignored_name(child.name)) return;
  const Frame& parent = stack_.back();
  const bool both =
      is_container(*child.before) && child.before->kind == child.after->kind;
  const std::size_t mark = alive_.size();
  if (ends_ignored(parent, child, both)) {
    alive_.resize(mark);
    return;
  }
  if (both) return open(child, parent.depth + 1, mark);
  if (!same_json_scalar(*child.before, *child.after)) {
    record(Change::Kind::kChanged, child);
  }
}

// Whether a selector of ignore_paths ends at child; with keep, the selectors
// that lead on from it are appended to alive_.
bool Comparer::ends_ignored(const Frame& parent, const Step& child, bool keep) {
  for (std::size_t i = parent.alive; i < parent.alive_end; ++i) {
    const std::uint32_t id = alive_[i];
    const std::vector<Selector::Step>& steps = rules_.ignore_paths[id].steps();
    if (!step_matches(steps[parent.depth], parent, child)) continue;
    if (parent.depth + 1 == steps.size()) return true;
    if (keep) alive_.push_back(id);
  }
  return false;
}

// A step into a list matches a pair of elements when it selects either.
bool Comparer::step_matches(const Selector::Step& s, const Frame& parent,
                            const Step& child) const {
  if (s.kind == Selector::Step::Kind::kMember) {
    return child.kind == Step::Kind::kMember && child.name == s.name;
  }
  if (child.kind != Step::Kind::kElement) return false;
  return selects(s, *parent.step.before, child.before_index) ||
         selects(s, *parent.step.after, child.after_index);
}

bool Comparer::is_ignored_name(std::string_view name) const {
  for (const std::string& ignored : rules_.ignore_names) {
    if (ignored == name) return true;
  }
  return false;
}

void Comparer::append_step(std::string& path, const Step& step,
                           const Frame& parent) const {
  if (step.kind == Step::Kind::kMember) {
    append_member_step(path, step.name);
  } else if (step.kind == Step::Kind::kElement) {
    const Node& element = step.after != nullptr ? *step.after : *step.before;
    const std::span<const std::string> keys = keys_of(parent);
    const ElementKey key =
        step.by_key ? KeyFinder(keys).find(element) : ElementKey();
    if (key.value == nullptr ||
        !append_where_step(path, keys[key.rank], *key.value)) {
      append_index_step(
          path, step.after != nullptr ? step.after_index : step.before_index);
    }
  }
}

// The path of the innermost frame, and of child within it unless null.
std::string Comparer::path_to(const Step* child) const {
  std::string path;
  for (std::size_t i = 1; i < stack_.size(); ++i) {
    append_step(path, stack_[i].step, stack_[i - 1]);
  }
  if (child != nullptr && !stack_.empty()) {
    append_step(path, *child, stack_.back());
  }
  return path.empty() ? "." : path;
}

void Comparer::record(Change::Kind kind, const Step& step) {
  if (out_.changes.size() == kMaxChanges) {
    ++out_.more_changes;
    return;
  }
  Change& c = out_.changes.emplace_back();
  c.kind = kind;
  c.path = path_to(step.kind == Step::Kind::kRoot ? nullptr : &step);
  if (step.before != nullptr) c.before = *step.before;
  if (step.kind == Step::Kind::kRoot) {
    c.after = *after_root_;
  } else if (step.after != nullptr) {
    c.after = *step.after;
  }
}

void Comparer::warn(const Frame& list, const DuplicateKey& d) {
  if (out_.warnings.size() == kMaxChanges) {
    ++more_warnings_;
    return;
  }
  const std::string& name = keys_of(list)[d.key.rank];
  std::string path = path_to(nullptr);
  if (path == ".") path.clear();
  const std::string counts =
      elements(d.in_after) + " in this run and " +
      (d.in_before == 0 ? std::string("none") : std::to_string(d.in_before)) +
      " in the earlier run";
  std::string line;
  if (append_where_step(path, name, *d.key.value)) {
    line = quote_text(path) + " selects " + counts;
  } else {
    line = quote_text(path.empty() ? "." : path) + " has " + counts +
           " with the same " + quote_text(name);
  }
  out_.warnings.push_back(line + ": they are matched by position");
}

}  // namespace

Comparison compare_results(const Node& before, const Node& after,
                           const CompareRules& rules,
                           const CompareOptions& options) {
  Comparison out;
  Comparer(rules, options, out).run(before, after);
  return out;
}

}  // namespace tarnwick
