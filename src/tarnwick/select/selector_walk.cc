#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tarnwick/base/value.h"
#include "tarnwick/select/selector.h"

namespace tarnwick {

namespace {

using Step = Selector::Step;

}  // namespace

// The walk: one frame per step, the list elements taken kept in taken_ for
// the paths of what it reaches. A walker that leads others takes their
// first steps for them and hands them what it finds.
class Selector::Walker {
 public:
  Walker(const Selector& selector, SelectionVisitor* visitor)
      : selector_(selector),
        visitor_(visitor),
        taken_(selector.steps_.size()),
        places_(selector.steps_.size()) {}

  // Makes this walker take the first `shared` steps for `followers`, whose
  // selectors have those steps alike; it reaches nothing for itself.
  void lead(std::span<Walker> followers, std::size_t shared) {
    followers_ = followers;
    shared_ = shared;
  }

  void walk(const Node& v, std::size_t step) {
    if (step == shared_) {
      for (Walker& f : followers_) f.follow(*this, step).walk(v, step);
      return;
    }
    if (is_not_found_marker(v))
      return hand_over(v, Reached::Hole::kMarker, step);
    const std::vector<Step>& steps = selector_.steps_;
    if (step == steps.size()) return hand_over(v, Reached::Hole::kNone, step);
    const Step& s = steps[step];
    if (s.kind == Step::Kind::kMember) {
      if (!v.is_map()) return hole(v, Reached::Hole::kWrongKind, step);
      const Node* child = member(v, step);
      if (child == nullptr) {
        return hole(v, Reached::Hole::kMissingMember, step);
      }
      return walk(*child, step + 1);
    }
    if (!v.is_list()) return hole(v, Reached::Hole::kWrongKind, step);
    switch (s.kind) {
      case Step::Kind::kIndex: {
        const std::optional<std::size_t> i = s.element_in(v.size);
        if (!i) return hole(v, Reached::Hole::kPastEnd, step);
        return item(v, *i, step);
      }
      case Step::Kind::kEach:
        for (std::size_t i = 0; i < v.size; ++i) item(v, i, step);
        return;
      case Step::Kind::kWhere:
        for (std::size_t i = 0; i < v.size; ++i) {
          const Node& element = v.items[i];
          if (element.is_map() && s.where_holds(member(element, step))) {
            item(v, i, step);
          }
        }
        return;
      case Step::Kind::kMember:
        return;
    }
  }

 private:
  // Where a step's member is in the last shape of map the step was taken
  // on: the maps of a list mostly share one, so that a member is looked for
  // by its name once per shape, not once per map.
  struct Place {
    const Shape* shape = nullptr;
    std::uint32_t index = kNoPlace;
  };
  static constexpr std::uint32_t kNoPlace = 0xFFFFFFFF;

  // The member named by step `step` of the map v, or null: v.find(name).
  const Node* member(const Node& v, std::size_t step) {
    if (v.size == 0) return nullptr;
    const Shape* shape = v.members->shape;
    Place& place = places_[step];
    if (shape != place.shape) {
      const std::string& name = selector_.steps_[step].name;
      place = {shape, kNoPlace};
      for (std::uint32_t i = 0; i < shape->size; ++i) {
        if (shape->keys[i].text() == name) {
          place.index = i;
          break;
        }
      }
    }
    return place.index == kNoPlace ? nullptr : &v.members->values[place.index];
  }

  void item(const Node& list, std::size_t i, std::size_t step) {
    taken_[step] = {&list, i};
    walk(list.items[i], step + 1);
  }

  // Takes the list indexes of the leader's first `steps` steps.
  Walker& follow(const Walker& leader, std::size_t steps) {
    for (std::size_t i = 0; i < steps; ++i) taken_[i] = leader.taken_[i];
    return *this;
  }

  // A hole found by step `step` on v: its path ends with that step.
  void hole(const Node& v, Reached::Hole why, std::size_t step) {
    if (visitor_ == nullptr) {
      for (Walker& f : followers_) f.follow(*this, step).hole(v, why, step);
      return;
    }
    Reached r = reached(v, why, step + 1);
    r.last_as_written_ = true;
    visitor_->reached(r);
  }

  void hand_over(const Node& v, Reached::Hole why, std::size_t steps) {
    if (visitor_ == nullptr) {
      for (Walker& f : followers_) {
        f.follow(*this, steps).hand_over(v, why, steps);
      }
      return;
    }
    visitor_->reached(reached(v, why, steps));
  }

  Reached reached(const Node& v, Reached::Hole why, std::size_t steps) const {
    Reached r;
    r.value = &v;
    r.hole = why;
    r.selector_ = &selector_;
    r.taken_ = taken_.data();
    r.steps_ = steps;
    return r;
  }

  const Selector& selector_;
  SelectionVisitor* visitor_;  // null for a leader
  std::vector<Reached::Taken> taken_;
  std::vector<Place> places_;  // one per step
  std::span<Walker> followers_;
  static constexpr std::size_t kNoStep = static_cast<std::size_t>(-1);
  std::size_t shared_ = kNoStep;  // the steps it takes for its followers
};

void Selector::walk(const Node& root, SelectionVisitor& visitor) const {
  Walker(*this, &visitor).walk(root, 0);
}

void Selector::walk_together(const Node& root,
                             std::span<const Selector* const> selectors,
                             std::span<SelectionVisitor* const> visitors,
                             std::size_t shared) {
  if (selectors.empty()) return;
  std::vector<Walker> followers;
  followers.reserve(selectors.size());
  for (std::size_t k = 0; k < selectors.size(); ++k) {
    followers.emplace_back(*selectors[k], visitors[k]);
  }
  Walker leader(*selectors.front(), nullptr);
  leader.lead(followers, shared);
  leader.walk(root, 0);
}

}  // namespace tarnwick
