// Reply values: the decoded JSON of a controller reply and the values that
// filtering and compound checks build from it.
//
// A value is a tree of immutable 16-byte Nodes that live in large arena
// blocks, never in one heap allocation per node. A map holds its values; its
// keys are in a Shape that every map with the same keys in the same order
// shares (the maps of a list mostly do), so a member costs a node, not two. A
// Value is an owning handle: a Node plus shared ownership of the Storage that
// holds it (the arena, the reply body that unescaped texts point into, and the
// storages of other values whose subtrees it shares). Copying a Value never
// copies its tree.
#ifndef TARNWICK_BASE_VALUE_H_
#define TARNWICK_BASE_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The deepest nesting of lists and maps that a value may have; a reply nested
// deeper is rejected by the decoder, so every walk may rely on this bound.
inline constexpr std::size_t kMaxNesting = 10000;

enum class Kind : std::uint8_t {
  kNull,
  kFalse,
  kTrue,
  kWhole,  // a JSON number without fraction or exponent, kept as its digits
  kReal,   // a JSON number with fraction or exponent: a double (see number())
  kText,   // UTF-8; a lone surrogate is kept in its generalized 3-byte form
  kList,
  kMap,  // members in insertion order, keys distinct
};

struct MapBody;
class MapView;

struct Node {
  // What the decoder found out about a node, so that printing it need not
  // find it out again; a flag that is not set tells nothing.
  enum Flags : std::uint8_t {
    // kText: every byte is printable ASCII (0x20..0x7E) other than the
    // single quote and the backslash.
    kPlainText = 1,
    // kReal: held as its text in chars and size, which is exactly its report
    // form (format_real's): no exponent, at most 15 significant digits, no
    // trailing zero but in ".0", at least 0.0001 unless zero.
    kRealAsText = 2,
    // kText: not all ASCII, but every character is printable (is_printable
    // of text.h) and none is the single quote or the backslash.
    kPrintableText = 4,
    // kText: read from a reply without an escape: no double quote, no
    // backslash, no character below U+0020, no lone surrogate.
    kUnescaped = 8,
  };

  Kind kind = Kind::kNull;
  std::uint8_t flags = 0;
  // Bytes of a text, of a whole number's digits or of a real held as text,
  // items of a list, members of a map; zero otherwise.
  std::uint32_t size = 0;
  union {
    const char* chars;       // kText, kWhole, kReal with kRealAsText
    const Node* items;       // kList
    const MapBody* members;  // kMap (null when empty)
    double real;             // kReal without kRealAsText
  };

  Node() : chars(nullptr) {}

  bool is_list() const { return kind == Kind::kList; }
  bool is_map() const { return kind == Kind::kMap; }
  bool is_text() const { return kind == Kind::kText; }

  // The text of a kText, or the digits of a kWhole ("-12", never "-0").
  std::string_view text() const { return {size ? chars : "", size}; }
  std::span<const Node> list() const { return {items, size}; }
  MapView map() const;

  // The member of a map with exactly this key, or nullptr.
  const Node* find(std::string_view key) const;

  // The value of a kReal.
  double number() const;

  static Node null() { return Node(); }
  static Node boolean(bool b);
  static Node real_number(double d);
  // A real held as `text`, which must be its report form (kRealAsText).
  static Node real_text_of(std::string_view text);
  // Texts, digits, items and members must outlive the node: they are normally
  // in the arena of the storage that holds the node.
  static Node text_of(std::string_view s);
  static Node whole_of(std::string_view digits);
  static Node list_of(std::span<const Node> items);
  static Node map_of(const MapBody* body, std::uint32_t size);
};

// The keys of a map, in order and distinct (kText nodes); shared by the maps
// that have them.
struct Shape {
  const Node* keys;
  std::uint32_t size;
};

// The members of a non-empty map: its shape, and a value for each key.
struct MapBody {
  const Shape* shape;
  const Node* values;
};

// A key and its value: as maps are built, and as they are read (MemberRef).
struct Member {
  Node key;  // always kText
  Node value;

  std::string_view name() const { return key.text(); }
};

struct MemberRef {
  const Node& key;
  const Node& value;

  std::string_view name() const { return key.text(); }
};

// The members of a map, in order.
class MapView {
 public:
  MapView(const MapBody* body, std::uint32_t size) : body_(body), size_(size) {}

  std::uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  MemberRef operator[](std::size_t i) const {
    return {body_->shape->keys[i], body_->values[i]};
  }
  // The map's shape; null for an empty map.
  const Shape* shape() const { return size_ ? body_->shape : nullptr; }

  class iterator {
   public:
    iterator(const MapView& map, std::size_t i) : map_(map), i_(i) {}
    MemberRef operator*() const { return map_[i_]; }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator!=(const iterator& o) const { return i_ != o.i_; }

   private:
    const MapView& map_;
    std::size_t i_;
  };
  iterator begin() const { return iterator(*this, 0); }
  iterator end() const { return iterator(*this, size_); }

 private:
  const MapBody* body_;
  std::uint32_t size_;
};

inline MapView Node::map() const { return MapView(members, size); }

// The marker of a key that a map lacks: filters put this text in the key's
// place, and selections and comparisons count a value that is exactly this
// text as no value at all, whether a filter or the controller put it there.
inline constexpr std::string_view kNotFoundMarker = "FILTER_NOT_FOUND";

// Whether v is the text kNotFoundMarker.
inline bool is_not_found_marker(const Node& v) {
  return v.is_text() && v.text() == kNotFoundMarker;
}

static_assert(sizeof(Node) == 16, "nodes are kept small on purpose");

// A monotonic allocator of large blocks; everything is freed at once.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  void* allocate(std::size_t bytes, std::size_t align);
  template <typename T>
  T* allocate_array(std::size_t n) {
    return static_cast<T*>(allocate(n * sizeof(T), alignof(T)));
  }
  std::string_view copy(std::string_view s);
  std::size_t bytes_reserved() const { return reserved_; }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t reserved_ = 0;
};

// Everything a value's nodes point into.
struct Storage {
  std::string body;  // the reply body, when texts point into it
  Arena arena;
  std::vector<std::shared_ptr<const Storage>>
      shared;  // storages it borrows from
};

class Value {
 public:
  // Null.
  Value() = default;
  Value(std::shared_ptr<const Storage> storage, const Node& node)
      : storage_(std::move(storage)), node_(node) {}

  const Node& node() const { return node_; }
  Kind kind() const { return node_.kind; }
  const std::shared_ptr<const Storage>& storage() const { return storage_; }

  // A value for a node inside this one, sharing this value's storage.
  Value child(const Node& node) const { return Value(storage_, node); }

 private:
  std::shared_ptr<const Storage> storage_;
  Node node_;
};

// Builds new values, possibly sharing subtrees of existing ones.
class ValueBuilder {
 public:
  ValueBuilder();

  // Keeps v's storage alive as long as the built value; call it for every
  // value whose nodes the built value points into.
  void share(const Value& v);

  Node text(std::string_view s);           // copies s
  Node whole(std::string_view digits);     // copies the digits
  Node list(std::span<const Node> items);  // copies the item nodes
  // A shape for maps with these keys, distinct, in this order; copies them.
  const Shape* shape(std::span<const Node> keys);
  // A map of `shape` with these values, one per key; copies them.
  Node map(const Shape* shape, std::span<const Node> values);
  // A map of these members, of a shape of its own.
  Node map(std::span<const Member> members);

  Arena& arena() { return storage_->arena; }

  // The finished value; the builder must not be used afterwards.
  Value finish(const Node& root);

 private:
  std::shared_ptr<Storage> storage_;
};

// How messages name a kind: "None", "boolean", "number", "text", "list",
// "map".
const char* kind_name(Kind kind);

// How messages name a value's type: "None", "True" or "False" for those
// values, else "a " and its kind name ("a number", "a list").
std::string type_of(const Node& v);

// Structural equality, map members compared in order; for tests and tools.
bool same_value(const Node& a, const Node& b);

}  // namespace tarnwick

#endif  // TARNWICK_BASE_VALUE_H_
