// Reading a value of a check file with its references ("%(name)s", "%%")
// expanded: the Analyzer works out, once per section, which values can be
// read and how to build them; read_value builds them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tarnwick/base/literal.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/checkfile/check_file_impl.h"

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
  bool active = false;  // on the path of the scan, or paused or waiting
  bool done = false;
  bool has_reference = false;
  int reason = -1;  // index into SectionExpansions::reasons
  int height = 1;   // values holding a "%" on the longest chain from here
  std::size_t size = 0;
  // Where a paused scan of the value goes on, once `waiting_for` is known.
  std::size_t resume_at = 0;
  std::uint32_t waiting_for = kNone;
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
// once per section however often it is referenced, so neither wide nor long
// reference graphs cost more than the size of the values involved.
class Analyzer {
 public:
  Analyzer(const Impl& impl, std::uint32_t section, SectionExpansions& out)
      : impl_(impl), section_(section), out_(out) {}

  void analyze(std::uint32_t top) {
    if (out_.values[top].done) return;
    // The roots that scan left waiting, each referring through the next one
    // to `root`, which reaches kMaxReferenceDepth levels deep at least: they
    // are unreadable for the reason that `root` is, or as too deep.
    std::vector<std::uint32_t> waiting;
    std::uint32_t root = top;
    while (scan(root, 1) == Step::kPaused) {
      waiting.push_back(root);
      root = out_.values[root].waiting_for;
    }
    if (waiting.empty()) return;
    const Expansion& last = out_.values[root];
    int reason = last.reason >= 0 ? last.reason : add_reason(too_deep());
    for (std::uint32_t e : waiting) fail_with(out_.values[e], reason);
  }

 private:
  enum class Step { kGoOn, kDone, kPaused };

  static std::string too_deep() {
    return "references nested deeper than " +
           std::to_string(kMaxReferenceDepth) + " levels";
  }

  int add_reason(std::string reason) {
    out_.reasons.push_back(std::move(reason));
    return static_cast<int>(out_.reasons.size() - 1);
  }

  static void add_text(Expansion& state, std::size_t offset, std::size_t size) {
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

  Step fail(Expansion& state, std::string reason) {
    return fail_with(state, add_reason(std::move(reason)));
  }

  // The value is unreadable; each value on the path above it fails in turn,
  // for the same reason.
  static Step fail_with(Expansion& state, int index) {
    state.active = false;
    state.done = true;
    state.reason = index;
    state.pieces.clear();
    state.pieces.shrink_to_fit();
    return Step::kDone;
  }

  // False when the value grew past a limit (and was marked unreadable).
  bool within_limits(Expansion& state) {
    if (state.height > kMaxReferenceDepth) {
      fail(state, too_deep());
      return false;
    }
    if (state.has_reference && state.size > kMaxExpandedValue) {
      fail(state, "the expanded value exceeds " +
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

  // Scans value e, `level` values down the path from the root of this scan,
  // and whatever it refers to that is not known yet; a value found
  // unreadable makes each value above it on the path unreadable for the same
  // reason. The recursion goes at most kMaxReferenceDepth levels deep: a
  // value that needs one level more leaves the root too deep to be read, but
  // the reason it gets may still come from further down. So the scan pauses
  // (kPaused): the root waits for its reason (see analyze), every other value
  // on the path keeps its place, and the scan goes on from the root's child,
  // one level less deep, through the same values.
  Step scan(std::uint32_t e, int level) {
    Expansion& state = out_.values[e];  // element addresses survive rehashing
    std::size_t pos = 0;
    if (state.active) {
      // Paused: the value it was following is still on the path.
      Step step = take_in(state, state.waiting_for, level);
      if (step != Step::kGoOn) return step;
      pos = state.resume_at;
    }
    state.active = true;
    std::string_view raw = impl_.value_of(e);
    std::size_t base = impl_.entries[e].value_offset;
    while (pos < raw.size()) {
      std::size_t percent = raw.find('%', pos);
      if (percent == std::string_view::npos) {
        add_text(state, base + pos, raw.size() - pos);
        break;
      }
      add_text(state, base + pos, percent - pos);
      std::string_view after = raw.substr(percent + 1);
      if (after.starts_with('%')) {
        add_text(state, base + percent, 1);
        pos = percent + 2;
        continue;
      }
      std::size_t close = after.starts_with('(') ? raw.find(')', percent + 2)
                                                 : std::string_view::npos;
      if (close == std::string_view::npos || close == percent + 2 ||
          close + 1 >= raw.size() || raw[close + 1] != 's') {
        return fail(state, "a '%' in the value of " +
                               quote_text(impl_.name_of(e)) +
                               " starts neither '%%' nor a reference "
                               "'%(name)s'");
      }
      std::string_view name = raw.substr(percent + 2, close - percent - 2);
      std::uint32_t child = impl_.resolve(section_, folded(name));
      if (child == kNone) {
        return fail(state, "the value of " + quote_text(impl_.name_of(e)) +
                               " refers to the missing key " +
                               quote_text(name));
      }
      pos = close + 2;
      state.has_reference = true;
      const Impl::Entry& target = impl_.entries[child];
      if (!target.has_percent) {
        // A value without "%" goes in as it stands and takes no level.
        add_text(state, target.value_offset, target.value_size);
        if (!within_limits(state)) return Step::kDone;
        continue;
      }
      if (out_.values[child].active) {
        return fail(state, "the references of " +
                               quote_text(impl_.name_of(child)) +
                               " lead back to it");
      }
      Step step = take_in(state, child, level);
      if (step == Step::kPaused) state.resume_at = pos;
      if (step != Step::kGoOn) return step;
    }
    if (!within_limits(state)) return Step::kDone;
    state.active = false;
    state.done = true;
    return Step::kDone;
  }

  // Takes in child, a value holding a "%" that state refers to, scanning it
  // first when it is not known yet.
  Step take_in(Expansion& state, std::uint32_t child, int level) {
    Expansion& child_state = out_.values[child];
    if (!child_state.done && (level == kMaxReferenceDepth ||
                              scan(child, level + 1) == Step::kPaused)) {
      state.waiting_for = child;
      return Step::kPaused;
    }
    if (child_state.reason >= 0) return fail_with(state, child_state.reason);
    return add_child(state, child, child_state) ? Step::kGoOn : Step::kDone;
  }

  const Impl& impl_;
  std::uint32_t section_;
  SectionExpansions& out_;
};

// Every child piece has a non-empty expansion, so building costs no more than
// the size of the result; the recursion goes no deeper than the value's
// height, at most kMaxReferenceDepth.
void append_expansion(const Impl& impl, const SectionExpansions& cache,
                      const Expansion& state, std::string& out) {
  for (const Piece& piece : state.pieces) {
    if (piece.child == kNone) {
      out.append(impl.pool, piece.offset, piece.size);
    } else {
      append_expansion(impl, cache, cache.values.at(piece.child), out);
    }
  }
}

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
  result.value.reserve(top.size);
  append_expansion(impl, *cache, top, result.value);
  return result;
}

}  // namespace tarnwick
