// Reading a value of a check file with its references ("%(name)s", "%%")
// expanded: the Analyzer works out, once per section, which values can be
// read and how to build them; read_value builds them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tarnwick/check_file.h"
#include "tarnwick/check_file_impl.h"
#include "tarnwick/literal.h"

namespace tarnwick {

namespace {

// One piece of an expanded value: text of the pool, or the expansion of
// another key (child != kNone).
struct Piece {
  std::size_t offset = 0;
  std::size_t size = 0;
  std::uint32_t child = kNone;
};

// What reading one value that holds a "%" has found out. Once `done`, the
// outcome is fixed for its section: either `reason` names why the value is
// unreadable, or `pieces` say how to build it.
struct Expansion {
  bool active = false;  // on the walk's current path
  bool done = false;
  bool has_reference = false;
  int reason = -1;  // index into SectionExpansions::reasons
  int height = 1;   // values holding a "%" on the longest chain from here
  std::size_t size = 0;
  std::vector<Piece> pieces;
};

}  // namespace

struct CheckFile::Impl::SectionExpansions {
  // Keyed by entry index; only values that hold a "%" get one.
  std::unordered_map<std::uint32_t, Expansion> values;
  std::vector<std::string> reasons;
};

CheckFile::Impl::Impl() {
  sections.push_back(Section{std::string(kDefaultSection), 0, 0});
}

CheckFile::Impl::~Impl() = default;

namespace {

using Impl = CheckFile::Impl;
using SectionExpansions = Impl::SectionExpansions;
using Outcome = Impl::Outcome;
using ReadResult = Impl::ReadResult;

// Works out, for one section, which values holding a "%" can be read, how
// deep their references go and how large they grow. Each value is scanned
// once per section however often it is referenced, and the walk keeps its
// own stack, so neither wide nor long reference graphs cost more than the
// size of the values involved.
class Analyzer {
 public:
  Analyzer(const Impl& impl, std::uint32_t section, SectionExpansions& out)
      : impl_(impl), section_(section), out_(out) {}

  void analyze(std::uint32_t top) {
    if (out_.values[top].done) return;
    enter(top);
    while (!stack_.empty()) step();
  }

 private:
  struct Frame {
    std::uint32_t entry;
    std::size_t pos;
    Expansion* state;
  };

  void enter(std::uint32_t e) {
    Expansion& state = out_.values[e];  // element addresses survive rehashing
    state.active = true;
    stack_.push_back(Frame{e, 0, &state});
  }

  void add_text(Expansion& state, std::size_t offset, std::size_t size) {
    if (size == 0) return;
    state.size += size;
    if (!state.pieces.empty()) {
      Piece& last = state.pieces.back();
      if (last.child == kNone && last.offset + last.size == offset) {
        last.size += size;
        return;
      }
    }
    state.pieces.push_back(Piece{offset, size, kNone});
  }

  void fail(std::string reason) {
    out_.reasons.push_back(std::move(reason));
    fail_with(static_cast<int>(out_.reasons.size() - 1));
  }

  // Marks every value on the path unreadable: each refers to the next.
  void fail_with(int index) {
    for (Frame& frame : stack_) {
      frame.state->active = false;
      frame.state->done = true;
      frame.state->reason = index;
      frame.state->pieces.clear();
      frame.state->pieces.shrink_to_fit();
    }
    stack_.clear();
  }

  // False when the value grew past a limit (and the walk was abandoned).
  bool within_limits(const Expansion& state) {
    if (state.height > kMaxReferenceDepth) {
      fail("references nested deeper than " +
           std::to_string(kMaxReferenceDepth) + " levels");
      return false;
    }
    if (state.has_reference && state.size > kMaxExpandedValue) {
      fail("the expanded value exceeds " +
           std::to_string(kMaxExpandedValue >> 20) + " MiB");
      return false;
    }
    return true;
  }

  // Takes in a readable child; false when that made the parent unreadable.
  bool add_child(Expansion& parent, std::uint32_t child,
                 const Expansion& child_state) {
    parent.height = std::max(parent.height, child_state.height + 1);
    parent.size += child_state.size;
    if (child_state.size > 0) parent.pieces.push_back(Piece{0, 0, child});
    return within_limits(parent);
  }

  void finish_top_frame() {
    Frame frame = stack_.back();
    stack_.pop_back();
    frame.state->active = false;
    frame.state->done = true;
    if (!stack_.empty())
      add_child(*stack_.back().state, frame.entry, *frame.state);
  }

  // Scans the top frame's value up to its end or to a reference into a value
  // not yet analyzed.
  void step() {
    Frame& frame = stack_.back();
    Expansion& state = *frame.state;
    std::string_view raw = impl_.value_of(frame.entry);
    std::size_t base = impl_.entries[frame.entry].value_offset;
    while (frame.pos < raw.size()) {
      std::size_t percent = raw.find('%', frame.pos);
      if (percent == std::string_view::npos) {
        add_text(state, base + frame.pos, raw.size() - frame.pos);
        frame.pos = raw.size();
        break;
      }
      add_text(state, base + frame.pos, percent - frame.pos);
      std::string_view after = raw.substr(percent + 1);
      if (after.starts_with('%')) {
        add_text(state, base + percent, 1);
        frame.pos = percent + 2;
        continue;
      }
      std::size_t close = after.starts_with('(') ? raw.find(')', percent + 2)
                                                 : std::string_view::npos;
      if (close == std::string_view::npos || close == percent + 2 ||
          close + 1 >= raw.size() || raw[close + 1] != 's') {
        fail("a '%' in the value of " + quote_text(impl_.name_of(frame.entry)) +
             " starts neither '%%' nor a reference '%(name)s'");
        return;
      }
      std::string_view name = raw.substr(percent + 2, close - percent - 2);
      std::uint32_t child = impl_.resolve(section_, folded(name));
      if (child == kNone) {
        fail("the value of " + quote_text(impl_.name_of(frame.entry)) +
             " refers to the missing key " + quote_text(name));
        return;
      }
      frame.pos = close + 2;
      state.has_reference = true;
      const Impl::Entry& target = impl_.entries[child];
      if (!target.has_percent) {
        // A value without "%" goes in as it stands and takes no level.
        add_text(state, target.value_offset, target.value_size);
        if (!within_limits(state)) return;
        continue;
      }
      Expansion& child_state = out_.values[child];
      if (child_state.active) {
        fail("the references of " + quote_text(impl_.name_of(child)) +
             " lead back to it");
        return;
      }
      if (!child_state.done) {
        enter(child);  // invalidates `frame`
        return;
      }
      if (child_state.reason >= 0) {
        fail_with(child_state.reason);
        return;
      }
      if (!add_child(state, child, child_state)) return;
    }
    if (!within_limits(state)) return;
    finish_top_frame();
  }

  const Impl& impl_;
  std::uint32_t section_;
  SectionExpansions& out_;
  std::vector<Frame> stack_;
};

}  // namespace

ReadResult read_value(const Impl& impl, std::string_view section_name,
                      std::string_view key) {
  ReadResult result;
  std::uint32_t section = impl.find_section(section_name);
  if (section == kNone) {
    result.outcome = Outcome::kNoSection;
    return result;
  }
  std::uint32_t entry = impl.resolve(section, folded(key));
  if (entry == kNone) {
    result.outcome = Outcome::kNoKey;
    return result;
  }
  if (!impl.entries[entry].has_percent) {
    result.value = std::string(impl.value_of(entry));
    return result;
  }

  std::lock_guard<std::mutex> lock(impl.mutex);
  if (impl.expansions.size() < impl.sections.size())
    impl.expansions.resize(impl.sections.size());
  std::unique_ptr<SectionExpansions>& cache = impl.expansions[section];
  if (!cache) cache = std::make_unique<SectionExpansions>();
  Analyzer(impl, section, *cache).analyze(entry);
  const Expansion& top = cache->values.at(entry);
  if (top.reason >= 0) {
    result.outcome = Outcome::kUnreadable;
    result.reason = cache->reasons[static_cast<std::size_t>(top.reason)];
    return result;
  }

  // Every child piece has a non-empty expansion, so building costs no more
  // than the size of the result.
  std::string& out = result.value;
  out.reserve(top.size);
  struct Frame {
    const Expansion* state;
    std::size_t next;
  };
  std::vector<Frame> stack{{&top, 0}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.state->pieces.size()) {
      stack.pop_back();
      continue;
    }
    const Piece& piece = frame.state->pieces[frame.next++];
    if (piece.child == kNone) {
      out.append(impl.pool, piece.offset, piece.size);
    } else {
      stack.push_back(Frame{&cache->values.at(piece.child), 0});
    }
  }
  return result;
}

}  // namespace tarnwick
