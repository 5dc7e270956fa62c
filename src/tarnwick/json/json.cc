#include "tarnwick/json/json.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/text.h"
#include "tarnwick/json/json_decoder.h"
#include "tarnwick/json/json_guide.h"

namespace tarnwick {

namespace {

// Maps up to this many members look for a repeated key by a linear scan;
// larger ones keep a hash index of their keys.
constexpr std::size_t kLinearKeyScan = 32;

// The value of a member that is left out, in a map that keeps such members'
// keys to count them: it is dropped when the map closes.
const char kLeftOut = 0;

Node left_out() {
  Node n;
  n.chars = &kLeftOut;
  return n;
}

bool is_left_out(const Node& n) {
  return n.kind == Kind::kNull && n.chars == &kLeftOut;
}

// One of 64 bits for a key, from its length and its first and last bytes.
std::uint64_t key_bit(std::string_view key) {
  std::size_t h = key.size() * 7;
  if (!key.empty()) {
    h += static_cast<unsigned char>(key.front()) +
         3 * static_cast<unsigned char>(key.back());
  }
  return std::uint64_t{1} << (h & 63);
}

}  // namespace

// A map holds more members than the limit only in a body over five times the
// limit ("":0, at the least for each); only there do maps keep the keys of
// members they leave out, to count a repeated key once as a full decode does.
Decoder::Decoder(Storage& storage, const DecodeGuide* guide,
                 std::size_t max_size)
    : arena_(storage.arena),
      begin_(reinterpret_cast<const unsigned char*>(storage.body.data())),
      p_(begin_),
      end_(begin_ + storage.body.size()),
      guide_(guide),
      max_size_(max_size),
      count_skipped_keys_(guide != nullptr &&
                          storage.body.size() / 5 > max_size) {}

void Decoder::open(bool is_map, Demand demand) {
  if (open_.size() == kMaxNesting) {
    throw Error(ErrorKind::kInvalidReply, "reply nests deeper than " +
                                              std::to_string(kMaxNesting) +
                                              " levels" + at_byte(p_));
  }
  // The children of a list are all wanted alike; those of a map by key.
  Demand items = demand;
  if (!is_map && demand.is_part()) items = guide_->item(demand);
  const std::size_t depth = open_.size() + 1;
  const Shape* hint = is_map && shape_hints_.size() >= depth
                          ? shape_hints_[depth - 1]
                          : nullptr;
  open_.push_back({is_map, is_map ? members_.size() : items_.size(), 0,
                   offset(p_), -1, demand, items, 0, 0, hint});
  ++p_;
}

Node Decoder::close_map(const OpenContainer& c) {
  // Keys left out count when they are kept (count_skipped_keys_); otherwise
  // the map cannot pass the limit with them.
  std::size_t n = members_.size() - c.first;
  if (n > max_size_)
    fail("map opened at byte " + std::to_string(c.opened_at) + " is too large");
  if (c.demand.is_none()) return Node();
  Member* from = members_.data() + c.first;
  std::size_t kept = n;
  if (count_skipped_keys_) {
    // The members left out were only kept to be counted.
    kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!is_left_out(from[i].value)) from[kept++] = from[i];
    }
  }
  if (kept == 0) return Node::map_of(nullptr, 0);
  const Shape* shape =
      c.hint != nullptr && c.hint->size == kept ? c.hint : shape_of(from, kept);
  Node* values = arena_.allocate_array<Node>(kept);
  for (std::size_t i = 0; i < kept; ++i) values[i] = from[i].value;
  MapBody* body = arena_.allocate_array<MapBody>(1);
  *body = {shape, values};
  return Node::map_of(body, static_cast<std::uint32_t>(kept));
}

// The shape of the map being closed, whose members are members[0, n): that
// of the last map closed at the same depth when it has the same keys (the
// maps of a list mostly do), else a new one.
const Shape* Decoder::shape_of(const Member* members, std::size_t n) {
  const std::size_t depth = open_.size();
  if (shape_hints_.size() < depth) shape_hints_.resize(depth, nullptr);
  const Shape*& hint = shape_hints_[depth - 1];
  if (hint != nullptr && hint->size == n) {
    std::size_t i = 0;
    while (i < n && same_key(hint->keys[i].text(), members[i].name())) ++i;
    if (i == n) return hint;
  }
  Node* keys = arena_.allocate_array<Node>(n);
  for (std::size_t i = 0; i < n; ++i) keys[i] = members[i].key;
  Shape* shape = arena_.allocate_array<Shape>(1);
  *shape = {keys, static_cast<std::uint32_t>(n)};
  hint = shape;
  return shape;
}

Node Decoder::close_list(const OpenContainer& c) {
  std::size_t n = items_.size() - c.first;
  if (n + c.skipped > max_size_)
    fail("list opened at byte " + std::to_string(c.opened_at) +
         " is too large");
  Node node;
  if (c.demand.is_none()) return node;
  Node* copy = nullptr;
  if (n != 0) {
    copy = arena_.allocate_array<Node>(n);
    std::memcpy(static_cast<void*>(copy), items_.data() + c.first,
                n * sizeof(Node));
  }
  return Node::list_of({copy, n});
}

// A container wanted not at all is checked and gives a null node.
Node Decoder::close() {
  const OpenContainer& c = open_.back();
  Node node;
  if (c.is_map) {
    node = close_map(c);
    members_.resize(c.first);
    if (c.key_index >= 0) --keys_in_use_;
  } else {
    node = close_list(c);
    items_.resize(c.first);
  }
  open_.pop_back();
  return node;
}

// Reads `"key" :` of the map c, with the white space after it, and sets the
// demand on its value. A member that is wanted gets a place; whether its key
// repeats an earlier one is settled once the value is read (add_value), so
// that the hash slot it needs has been loaded meanwhile.
inline void Decoder::decode_key(OpenContainer& c) {
  if (p_ == end_) fail_not_closed();
  if (*p_ != '"') fail_unexpected(p_, ", expected a key");
  Node key;
  if (c.demand.is_part()) {
    key = decode_text();
    c.pending = guide_->member(c.demand, key.text());
  } else if (c.demand.is_all() || count_skipped_keys_) {
    key = decode_text();
  } else {
    decode_text(false);
  }
  if (!c.pending.is_none() || count_skipped_keys_) {
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
  }
  skip_space();
  if (p_ == end_) fail_not_closed();
  if (*p_ != ':') fail_unexpected(p_, ", expected ':'");
  ++p_;
  skip_space();
}

// Gives the last member of the innermost map its value. A repeated key keeps
// its first place and takes the last value.
void Decoder::add_value(OpenContainer& c, const Node& value) {
  Member& last = members_.back();
  last.value = value;
  const Member* members = members_.data() + c.first;
  std::size_t n = members_.size() - 1 - c.first;
  std::size_t found = std::string_view::npos;
  // A key that is the hint's next one is new: the hint's keys are distinct.
  bool on_hint = false;
  if (c.hint != nullptr) {
    on_hint = n < c.hint->size && same_key(c.hint->keys[n].text(), last.name());
    if (!on_hint) {
      c.hint = nullptr;
      // The bits of the keys that were taken on the hint's word.
      for (std::size_t i = 0; i < n; ++i)
        c.key_bits |= key_bit(members[i].name());
    }
  }
  if (c.key_index < 0) {
    if (!on_hint) {
      // A key whose bit no earlier key has set is new: most keys need no
      // comparison at all.
      std::string_view name = last.name();
      const std::uint64_t bit = key_bit(name);
      if (c.key_bits & bit) {
        for (std::size_t i = 0; i < n; ++i) {
          if (members[i].key.size == last.key.size &&
              members[i].name() == name) {
            found = i;
            break;
          }
        }
      }
      c.key_bits |= bit;
    }
  } else {
    found = keys_[c.key_index].find_or_add(members, last.name(), c.key_hash, n);
  }
  if (found != std::string_view::npos) {
    members_[c.first + found].value = value;
    members_.pop_back();
  }
}

// Reads the value that starts at p_, wanted as `demand`. True when it is
// complete (in `value`); false when it opened a container whose first child
// starts at p_ (after its key, for a map).
inline bool Decoder::read_value(Demand demand, Node& value) {
  if (p_ == end_) fail_not_closed();  // only inside a container
  const bool keep = !demand.is_none();
  switch (*p_) {
    case '{':
    case '[': {
      const bool is_map = *p_ == '{';
      open(is_map, demand);
      skip_space();
      if (p_ != end_ && *p_ == (is_map ? '}' : ']')) {
        ++p_;
        value = close();
        return true;
      }
      if (is_map) decode_key(open_.back());
      return false;
    }
    case '"':
      value = decode_text(keep);
      return true;
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
      value = decode_number(keep);
      return true;
    default:
      if (!decode_word(value)) fail_unexpected(p_);
      return true;
  }
}

// Hands a complete value to its container and closes every container that
// ends after it. True when the root is complete (in `value`); false when the
// next child of the innermost container starts at p_.
inline bool Decoder::complete_value(Node& value) {
  for (;;) {
    if (open_.empty()) return true;
    OpenContainer& c = open_.back();
    if (!c.pending.is_none()) {
      if (c.is_map) {
        add_value(c, value);
      } else {
        items_.push_back(value);
      }
    } else if (c.is_map) {
      if (count_skipped_keys_) add_value(c, left_out());
    } else {
      ++c.skipped;
    }
    skip_space();
    if (p_ != end_ && *p_ == ',') {
      ++p_;
      skip_space();
      if (c.is_map) decode_key(c);
      return false;
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

Node Decoder::decode() {
  if (end_ - p_ >= 3 && p_[0] == 0xEF && p_[1] == 0xBB && p_[2] == 0xBF)
    p_ += 3;
  if (p_ == end_) throw Error(ErrorKind::kInvalidReply, "reply is empty");
  skip_space();
  if (p_ == end_)
    throw Error(ErrorKind::kInvalidReply, "reply is only white space");
  const Demand root = guide_ != nullptr ? guide_->root() : Demand::all();
  Demand demand = root;
  for (;;) {
    Node value;
    if (read_value(demand, value) && complete_value(value)) {
      skip_space();
      if (p_ != end_) fail_unexpected(p_, " after the value");
      return root.is_none() ? Node() : value;
    }
    demand = open_.back().pending;
  }
}

namespace {

Value decode(std::string body, const DecodeGuide* guide, std::size_t max_size) {
  auto storage = std::make_shared<Storage>();
  storage->body = std::move(body);
  Node root = Decoder(*storage, guide, max_size).decode();
  return Value(std::move(storage), root);
}

}  // namespace

Value decode_json(std::string body) {
  return decode(std::move(body), nullptr, kMaxSize);
}

Value decode_json(std::string body, const DecodeGuide& guide) {
  return decode(std::move(body), &guide, kMaxSize);
}

Value decode_json_for_test(std::string body, const DecodeGuide* guide,
                           std::size_t max_size) {
  return decode(std::move(body), guide, max_size);
}

}  // namespace tarnwick
