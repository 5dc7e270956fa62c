#include "tarnwick/json.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/error.h"
#include "tarnwick/json_scan.h"

namespace tarnwick {

namespace {

// Maps up to this many members look for a repeated key by a linear scan;
// larger ones keep a hash index of their keys.
constexpr std::size_t kLinearKeyScan = 32;

// Stands in for the first byte of a value that is skipped.
constexpr int kSkippedValue = -1;

}  // namespace

void Decoder::open(bool is_map, Demand demand) {
  if (open_.size() == kMaxNesting) {
    throw Error(ErrorKind::kInvalidReply, "reply nests deeper than " +
                                              std::to_string(kMaxNesting) +
                                              " levels" + at_byte(p_));
  }
  open_.push_back({is_map, is_map ? members_.size() : items_.size(), 0,
                   offset(p_), -1, demand, Demand()});
  ++p_;
}

Node Decoder::close() {
  OpenContainer& c = open_.back();
  Node node;
  if (c.is_map) {
    std::size_t n = members_.size() - c.first;
    if (n > kMaxSize)
      fail("map opened at byte " + std::to_string(c.opened_at) +
           " is too large");
    Member* copy = nullptr;
    if (n != 0) {
      copy = arena_.allocate_array<Member>(n);
      std::memcpy(static_cast<void*>(copy), members_.data() + c.first,
                  n * sizeof(Member));
    }
    node = Node::map_of({copy, n});
    members_.resize(c.first);
    if (c.key_index >= 0) --keys_in_use_;
  } else {
    std::size_t n = items_.size() - c.first;
    if (n > kMaxSize)
      fail("list opened at byte " + std::to_string(c.opened_at) +
           " is too large");
    Node* copy = nullptr;
    if (n != 0) {
      copy = arena_.allocate_array<Node>(n);
      std::memcpy(static_cast<void*>(copy), items_.data() + c.first,
                  n * sizeof(Node));
    }
    node = Node::list_of({copy, n});
    items_.resize(c.first);
  }
  open_.pop_back();
  return node;
}

// Reads `"key" :` of the innermost map, with the white space after it, and
// adds a member for it; true then. With a plan, members whose values the
// filters cannot reach are stepped over here, key and value, until one they
// can reach; false when the map's members end first (p_ is then after the
// last of them). Whether the key repeats an earlier one is settled
// once the value is read (add_value), so that the hash slot it needs has
// been loaded meanwhile.
bool Decoder::decode_key() {
  if (p_ == end_) fail_not_closed();
  if (*p_ != '"') fail_unexpected(p_, ", expected a key");
  Node key = decode_text();
  OpenContainer& c = open_.back();
  if (plan_ != nullptr) {
    for (;;) {
      c.pending = plan_->member(c.demand, key.text());
      if (c.pending.mode != Demand::kNone) break;
      // No member is made: the value is skipped, and the next member read.
      skip_space();
      if (p_ == end_) fail_not_closed();
      if (*p_ != ':') fail_unexpected(p_, ", expected ':'");
      ++p_;
      skip_space();
      skip_value();
      skip_space();
      if (p_ == end_ || *p_ != ',') return false;
      ++p_;
      skip_space();
      if (p_ == end_) fail_not_closed();
      if (*p_ != '"') fail_unexpected(p_, ", expected a key");
      key = decode_text();
    }
  }
  std::size_t n = members_.size() - c.first;
  if (c.key_index < 0 && n >= kLinearKeyScan) {
    if (keys_in_use_ == keys_.size()) keys_.emplace_back();
    c.key_index = static_cast<int>(keys_in_use_++);
    keys_[c.key_index].build(members_.data() + c.first, n);
  }
  if (c.key_index >= 0) {
    c.key_hash = KeyIndex::hash_of(key.text());
    keys_[c.key_index].prefetch(c.key_hash);
  }
  members_.push_back({key, Node()});
  skip_space();
  if (p_ == end_) fail_not_closed();
  if (*p_ != ':') fail_unexpected(p_, ", expected ':'");
  ++p_;
  skip_space();
  return true;
}

// Gives the last member of the innermost map its value. A repeated key keeps
// its first place and takes the last value.
void Decoder::add_value(OpenContainer& c, const Node& value) {
  Member& last = members_.back();
  last.value = value;
  const Member* members = members_.data() + c.first;
  std::size_t n = members_.size() - 1 - c.first;
  std::size_t found = std::string_view::npos;
  if (c.key_index < 0) {
    std::string_view name = last.name();
    for (std::size_t i = 0; i < n; ++i) {
      if (members[i].key.size == last.key.size && members[i].name() == name) {
        found = i;
        break;
      }
    }
  } else {
    found = keys_[c.key_index].find_or_add(members, last.name(), c.key_hash, n);
  }
  if (found != std::string_view::npos) {
    members_[c.first + found].value = value;
    members_.pop_back();
  }
}

Node Decoder::decode() {
  if (end_ - p_ >= 3 && p_[0] == 0xEF && p_[1] == 0xBB && p_[2] == 0xBF)
    p_ += 3;
  if (p_ == end_) throw Error(ErrorKind::kInvalidReply, "reply is empty");
  skip_space();
  if (p_ == end_)
    throw Error(ErrorKind::kInvalidReply, "reply is only white space");
  for (;;) {
    // A value starts at p_.
    Node value;
    if (p_ == end_) fail_not_closed();  // only inside a container
    Demand demand;
    bool skipped = false;  // nothing of it goes into its container
    int start = *p_;
    if (plan_ != nullptr) {
      demand = next_demand();
      skipped = demand.mode == Demand::kNone;
      // A list element that is itself a list only fails a lookup: its kind
      // is all that is looked at.
      if (skipped || (demand.mode == Demand::kItem && start == '[')) {
        start = kSkippedValue;
      }
    }
    switch (start) {
      case kSkippedValue:
        skip_value();
        value = Node::list_of({});
        break;
      case '{':
        open(true, demand);
        skip_space();
        if (p_ != end_ && *p_ == '}') {
          ++p_;
          value = close();
          break;
        }
        if (!decode_key()) {
          skipped = true;  // every member was skipped: the map ends here
          break;
        }
        continue;
      case '[':
        open(false, demand);
        skip_space();
        if (p_ != end_ && *p_ == ']') {
          ++p_;
          value = close();
          break;
        }
        continue;
      case '"':
        value = decode_text();
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
        value = decode_number();
        break;
      default:
        if (!decode_word(value)) fail_unexpected(p_);
        break;
    }
    // The value is complete: hand it to its container, then close every
    // container that ends here.
    for (;;) {
      if (open_.empty()) {
        skip_space();
        if (p_ != end_) fail_unexpected(p_, " after the value");
        return value;
      }
      OpenContainer& c = open_.back();
      if (skipped) {
        skipped = false;
      } else if (c.is_map) {
        add_value(c, value);
      } else {
        items_.push_back(value);
      }
      skip_space();
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        skip_space();
        if (c.is_map && !decode_key()) {
          skipped = true;  // the rest of the map's members were skipped
          continue;
        }
        break;
      }
      if (p_ != end_ && *p_ == (c.is_map ? '}' : ']')) {
        ++p_;
        value = close();
        continue;
      }
      if (p_ == end_) fail_not_closed();
      fail_unexpected(
          p_, c.is_map ? ", expected ',' or '}'" : ", expected ',' or ']'");
    }
  }
}

Value decode_json(std::string body) {
  auto storage = std::make_shared<Storage>();
  storage->body = std::move(body);
  Node root = Decoder(*storage).decode();
  return Value(std::move(storage), root);
}

}  // namespace tarnwick
