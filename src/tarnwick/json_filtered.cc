// decode_json_filtered: the Decoder with a FilterPlan, which builds only what
// a filter list can reach of a reply and checks and skips the rest.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/error.h"
#include "tarnwick/filter.h"
#include "tarnwick/json.h"
#include "tarnwick/json_scan.h"

namespace tarnwick {

// The demand on the value that starts at p_ (with a plan only).
Demand Decoder::next_demand() const {
  if (open_.empty()) return plan_->root();
  const OpenContainer& c = open_.back();
  return c.is_map ? c.pending : plan_->item(c.demand);
}

// Reads `"key" :` and the white space after it, inside a skipped map.
void Decoder::skip_key() {
  if (p_ == end_ || *p_ != '"') fail_unexpected(p_, ", expected a key");
  decode_text(false);
  skip_space();
  if (p_ == end_ || *p_ != ':') fail_unexpected(p_, ", expected ':'");
  ++p_;
  skip_space();
}

// Steps over the value at p_, and the white space after it, checking it
// against every rule that decode() applies: the same texts, numbers, words,
// nesting limit and sizes are accepted. A failure may be worded differently
// (decode_json_filtered decodes again to report it). A map whose members,
// repeats included, pass the size limit fails here too: only decode() can
// tell whether repeats keep it within.
void Decoder::skip_value() {
  skipped_.clear();
  for (;;) {
    if (p_ == end_) fail("unexpected end" + at_byte(p_));
    switch (*p_) {
      case '{':
      case '[': {
        if (open_.size() + skipped_.size() >= kMaxNesting) {
          fail("nesting too deep" + at_byte(p_));
        }
        const bool is_map = *p_ == '{';
        ++p_;
        skip_space();
        if (p_ != end_ && *p_ == (is_map ? '}' : ']')) {
          ++p_;
          break;
        }
        skipped_.push_back({is_map, 0});
        if (is_map) skip_key();
        continue;
      }
      case '"':
        decode_text(false);
        break;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        decode_number(false);
        break;
      default: {
        Node word;
        if (!decode_word(word)) fail_unexpected(p_);
        break;
      }
    }
    // A value is complete: count it, then close what ends here.
    for (;;) {
      if (skipped_.empty()) return;
      SkippedContainer& c = skipped_.back();
      if (++c.children > kMaxSize) fail("container too large" + at_byte(p_));
      skip_space();
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        skip_space();
        if (c.is_map) skip_key();
        break;
      }
      if (p_ != end_ && *p_ == (c.is_map ? '}' : ']')) {
        ++p_;
        skipped_.pop_back();
        continue;
      }
      fail_unexpected(p_);
    }
  }
}

Value decode_json_filtered(std::string body,
                           const std::vector<std::string>& filters) {
  if (filters.empty()) return decode_json(std::move(body));
  auto storage = std::make_shared<Storage>();
  storage->body = std::move(body);
  Node root;
  try {
    const FilterPlan plan(filters);
    root = Decoder(*storage, &plan).decode();
  } catch (const Error&) {
    // The full decode reports the failure in its own words, or, for a map
    // too large to tell, finds it within the limit after all.
    return filter_results(decode_json(std::move(storage->body)), filters);
  }
  return filter_results(Value(std::move(storage), root), filters);
}

}  // namespace tarnwick
