#include "tarnwick/base/value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>

#include "tarnwick/base/huge_pages.h"

namespace tarnwick {

namespace {

constexpr std::size_t kFirstBlock = 4096;
constexpr std::size_t kLargestBlock = std::size_t{64} << 20;

// A node of `kind` holding `size` bytes, items or members.
Node sized(Kind kind, std::size_t size) {
  Node n;
  n.kind = kind;
  n.size = static_cast<std::uint32_t>(size);
  return n;
}

}  // namespace

const Node* Node::find(std::string_view key) const {
  for (MemberRef m : map()) {
    if (m.name() == key) return &m.value;
  }
  return nullptr;
}

Node Node::boolean(bool b) { return sized(b ? Kind::kTrue : Kind::kFalse, 0); }

Node Node::real_number(double d) {
  Node n = sized(Kind::kReal, 0);
  n.real = d;
  return n;
}

Node Node::real_text_of(std::string_view text) {
  Node n = sized(Kind::kReal, text.size());
  n.flags = kRealAsText;
  n.chars = text.data();
  return n;
}

double Node::number() const {
  if (!(flags & kRealAsText)) return real;
  double d = 0;
  std::from_chars(chars, chars + size, d);
  return d;
}

Node Node::text_of(std::string_view s) {
  Node n = sized(Kind::kText, s.size());
  n.chars = s.data();
  return n;
}

Node Node::whole_of(std::string_view digits) {
  Node n = text_of(digits);
  n.kind = Kind::kWhole;
  return n;
}

Node Node::list_of(std::span<const Node> items) {
  Node n = sized(Kind::kList, items.size());
  n.items = items.data();
  return n;
}

Node Node::map_of(const MapBody* body, std::uint32_t size) {
  Node n = sized(Kind::kMap, size);
  n.members = size ? body : nullptr;
  return n;
}

void* Arena::allocate(std::size_t bytes, std::size_t align) {
  std::size_t pad =
      (align - reinterpret_cast<std::uintptr_t>(next_) % align) % align;
  if (next_ == nullptr || pad + bytes > left_) {
    // Blocks grow geometrically so a large reply needs few of them; a request
    // larger than the next block gets a block of its own size.
    std::size_t size =
        std::min(kLargestBlock, std::max(kFirstBlock, reserved_));
    size = std::max(size, bytes + align);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    // Only the largest blocks: a huge page is resident as a whole once it is
    // touched, which would cost a smaller value up to 2 MiB a block.
    if (size >= kLargestBlock) advise_huge_pages(blocks_.back().get(), size);
    next_ = blocks_.back().get();
    left_ = size;
    reserved_ += size;
    pad = (align - reinterpret_cast<std::uintptr_t>(next_) % align) % align;
  }
  char* p = next_ + pad;
  next_ = p + bytes;
  left_ -= pad + bytes;
  return p;
}

std::string_view Arena::copy(std::string_view s) {
  if (s.empty()) return {};
  char* p = allocate_array<char>(s.size());
  std::memcpy(p, s.data(), s.size());
  return {p, s.size()};
}

ValueBuilder::ValueBuilder() : storage_(std::make_shared<Storage>()) {}

void ValueBuilder::share(const Value& v) {
  const auto& s = v.storage();
  if (!s || s == storage_) return;
  // Values built from many replies share each storage once; only a repeat of
  // the last one is common enough to be worth skipping.
  if (!storage_->shared.empty() && storage_->shared.back() == s) return;
  storage_->shared.push_back(s);
}

Node ValueBuilder::text(std::string_view s) {
  return Node::text_of(arena().copy(s));
}

Node ValueBuilder::whole(std::string_view digits) {
  return Node::whole_of(arena().copy(digits));
}

Node ValueBuilder::list(std::span<const Node> items) {
  Node* copy = arena().allocate_array<Node>(items.size());
  std::copy(items.begin(), items.end(), copy);
  return Node::list_of({copy, items.size()});
}

const Shape* ValueBuilder::shape(std::span<const Node> keys) {
  Shape* shape = arena().allocate_array<Shape>(1);
  Node* copy = arena().allocate_array<Node>(keys.size());
  std::copy(keys.begin(), keys.end(), copy);
  *shape = {copy, static_cast<std::uint32_t>(keys.size())};
  return shape;
}

Node ValueBuilder::map(const Shape* shape, std::span<const Node> values) {
  if (values.empty()) return Node::map_of(nullptr, 0);
  MapBody* body = arena().allocate_array<MapBody>(1);
  Node* copy = arena().allocate_array<Node>(values.size());
  std::copy(values.begin(), values.end(), copy);
  *body = {shape, copy};
  return Node::map_of(body, static_cast<std::uint32_t>(values.size()));
}

Node ValueBuilder::map(std::span<const Member> members) {
  std::vector<Node> keys;
  std::vector<Node> values;
  for (const Member& m : members) {
    keys.push_back(m.key);
    values.push_back(m.value);
  }
  return map(shape(keys), values);
}

Value ValueBuilder::finish(const Node& root) {
  return Value(std::move(storage_), root);
}

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::kNull:
      return "None";
    case Kind::kFalse:
    case Kind::kTrue:
      return "boolean";
    case Kind::kWhole:
    case Kind::kReal:
      return "number";
    case Kind::kText:
      return "text";
    case Kind::kList:
      return "list";
    case Kind::kMap:
      return "map";
  }
  return "value";
}

std::string type_of(const Node& v) {
  switch (v.kind) {
    case Kind::kNull:
      return "None";
    case Kind::kFalse:
      return "False";
    case Kind::kTrue:
      return "True";
    default:
      return std::string("a ") + kind_name(v.kind);
  }
}

bool same_value(const Node& a, const Node& b) {
  std::vector<std::pair<const Node*, const Node*>> todo{{&a, &b}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (x->kind != y->kind) return false;
    if (x->kind == Kind::kReal) {
      // The same number, whether held as a double or as its text.
      const double a = x->number();
      const double b = y->number();
      if (std::isnan(a) != std::isnan(b)) return false;
      if (!std::isnan(a) && (a != b || std::signbit(a) != std::signbit(b)))
        return false;
      continue;
    }
    if (x->size != y->size) return false;
    switch (x->kind) {
      case Kind::kNull:
      case Kind::kFalse:
      case Kind::kTrue:
      case Kind::kReal:
        break;
      case Kind::kWhole:
      case Kind::kText:
        if (x->text() != y->text()) return false;
        break;
      case Kind::kList:
        for (std::size_t i = 0; i < x->size; ++i) {
          todo.emplace_back(&x->items[i], &y->items[i]);
        }
        break;
      case Kind::kMap:
        for (std::size_t i = 0; i < x->size; ++i) {
          const MemberRef a = x->map()[i];
          const MemberRef b = y->map()[i];
          if (a.name() != b.name()) return false;
          todo.emplace_back(&a.value, &b.value);
        }
        break;
    }
  }
  return true;
}

}  // namespace tarnwick
