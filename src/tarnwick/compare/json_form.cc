#include "tarnwick/compare/json_form.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tarnwick/base/text.h"
#include "tarnwick/select/decimal.h"

namespace tarnwick {

namespace {

// Pairs of maps with more members than this left to pair after their common
// start have the names of one of them hashed; below it a plain search is
// cheaper.
constexpr std::size_t kMaxPlainSearch = 256;

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9;
  x ^= x >> 27;
  x *= 0x94D049BB133111EB;
  x ^= x >> 31;
  return x;
}

std::uint64_t text_hash(std::string_view s) {
  return mix(std::hash<std::string_view>()(s) ^ 0x5445585400000000);
}

// The digits of the decimal value, so that 1.0, 1 and 10e-1 hash alike.
std::uint64_t number_hash(const Node& v) {
  char buf[kDecimalBuffer];
  std::optional<Decimal> d = decimal_of(v, buf);
  if (!d) return 0;
  std::uint64_t h = 0xCBF29CE484222325;
  for (std::string_view part : {d->lead, d->rest}) {
    for (char c : part) {
      h ^= static_cast<unsigned char>(c);
      h *= 0x100000001B3;
    }
  }
  return mix(h ^ mix(static_cast<std::uint64_t>(d->point)) ^
             (d->negative ? 0x4E4547 : 0));
}

std::uint64_t scalar_hash(const Node& v) {
  switch (json_kind(v)) {
    case JsonKind::kNull:
      return 0x6E756C6C;
    case JsonKind::kFalse:
      return 0x66616C7365;
    case JsonKind::kTrue:
      return 0x74727565;
    case JsonKind::kNumber:
      return number_hash(v);
    case JsonKind::kText:
      return text_hash(v.text());
    case JsonKind::kList:
    case JsonKind::kMap:
      break;
  }
  return 0;
}

bool same_number(const Node& a, const Node& b) {
  // Whole numbers keep their digits without leading zeros, and "-0" is "0":
  // equal whole numbers have equal digits.
  if (a.kind == Kind::kWhole && b.kind == Kind::kWhole) {
    return a.text() == b.text();
  }
  if (a.kind == Kind::kReal && b.kind == Kind::kReal) {
    const bool a_text = a.flags & Node::kRealAsText;
    const bool b_text = b.flags & Node::kRealAsText;
    if (!a_text && !b_text) return a.real == b.real;
    // Both in their report form, which is one text per number.
    if (a_text && b_text && a.text() == b.text()) return true;
  }
  char buf_a[kDecimalBuffer];
  char buf_b[kDecimalBuffer];
  std::optional<Decimal> x = decimal_of(a, buf_a);
  std::optional<Decimal> y = decimal_of(b, buf_b);
  return x && y && compare(*x, *y) == 0;
}

bool is_container(const Node& v) { return v.is_list() || v.is_map(); }

}  // namespace

JsonKind json_kind(const Node& v) {
  switch (v.kind) {
    case Kind::kNull:
      return JsonKind::kNull;
    case Kind::kFalse:
      return JsonKind::kFalse;
    case Kind::kTrue:
      return JsonKind::kTrue;
    case Kind::kWhole:
      return JsonKind::kNumber;
    case Kind::kReal:
      // A real held as its text is finite.
      return (v.flags & Node::kRealAsText) || std::isfinite(v.real)
                 ? JsonKind::kNumber
                 : JsonKind::kNull;
    case Kind::kText:
      return JsonKind::kText;
    case Kind::kList:
      return JsonKind::kList;
    case Kind::kMap:
      return JsonKind::kMap;
  }
  return JsonKind::kNull;
}

bool same_json_scalar(const Node& a, const Node& b) {
  const JsonKind kind = json_kind(a);
  if (kind != json_kind(b)) return false;
  switch (kind) {
    case JsonKind::kNull:
    case JsonKind::kFalse:
    case JsonKind::kTrue:
      return true;
    case JsonKind::kNumber:
      return same_number(a, b);
    case JsonKind::kText:
      return a.text() == b.text();
    case JsonKind::kList:
    case JsonKind::kMap:
      break;
  }
  return false;
}

bool same_json(const Node& a, const Node& b) {
  if (!is_container(a) || !is_container(b)) return same_json_scalar(a, b);
  std::vector<std::pair<const Node*, const Node*>> todo{{&a, &b}};
  std::vector<std::uint32_t> index;
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (!is_container(*x) || !is_container(*y)) {
      if (!same_json_scalar(*x, *y)) return false;
      continue;
    }
    if (x->kind != y->kind || x->size != y->size) return false;
    if (x->is_list()) {
      for (std::uint32_t i = 0; i < x->size; ++i) {
        todo.emplace_back(&x->items[i], &y->items[i]);
      }
      continue;
    }
    pair_members(*x, *y, index);
    for (std::uint32_t i = 0; i < x->size; ++i) {
      if (index[i] == kNoMember) return false;
      todo.emplace_back(&x->members->values[i], &y->members->values[index[i]]);
    }
  }
  return true;
}

std::uint64_t json_hash(const Node& v) {
  if (!is_container(v)) return scalar_hash(v);
  // The containers begun, innermost last, each with the hash so far of the
  // children taken. A list's hash depends on the order of its items, a map's
  // is a sum over its members and so does not.
  struct Open {
    const Node* node;
    std::uint32_t next;
    std::uint64_t hash;
  };
  auto seed = [](const Node& c) -> std::uint64_t {
    return c.is_list() ? 0x4C495354 + c.size : 0x4D4150 + c.size;
  };
  std::vector<Open> open{{&v, 0, seed(v)}};
  std::uint64_t done = 0;
  for (;;) {
    Open& o = open.back();
    if (o.next < o.node->size) {
      const Node& child = o.node->is_list() ? o.node->items[o.next]
                                            : o.node->members->values[o.next];
      ++o.next;
      if (is_container(child)) {
        open.push_back({&child, 0, seed(child)});  // o is invalid from here
        continue;
      }
      done = scalar_hash(child);
    } else {
      done = mix(o.hash);
      open.pop_back();
      if (open.empty()) return done;
    }
    // Fold a finished child into its container.
    Open& parent = open.back();
    const std::uint32_t i = parent.next - 1;
    if (parent.node->is_list()) {
      parent.hash = mix(parent.hash + i) ^ done;
    } else {
      const Node& key = parent.node->members->shape->keys[i];
      parent.hash += mix(text_hash(key.text()) ^ (done * 0x9E3779B97F4A7C15));
    }
  }
}

void pair_members(const Node& a, const Node& b,
                  std::vector<std::uint32_t>& index) {
  index.assign(a.size, kNoMember);
  if (a.size == 0 || b.size == 0) return;
  const Shape& sa = *a.members->shape;
  const Shape& sb = *b.members->shape;
  // The names that the two maps have in the same places, from the start;
  // for maps decoded alike, all of them.
  std::uint32_t common = 0;
  const std::uint32_t n = std::min(a.size, b.size);
  if (&sa == &sb) {
    common = n;
  } else {
    while (common < n &&
           same_key(sa.keys[common].text(), sb.keys[common].text())) {
      ++common;
    }
  }
  for (std::uint32_t i = 0; i < common; ++i) index[i] = i;
  if (common == a.size || common == b.size) return;
  // Names are distinct within a map, so the rest of a's can only be among
  // the rest of b's.
  const std::size_t left_a = a.size - common;
  const std::size_t left_b = b.size - common;
  if (left_a * left_b <= kMaxPlainSearch) {
    for (std::uint32_t i = common; i < a.size; ++i) {
      for (std::uint32_t j = common; j < b.size; ++j) {
        if (same_key(sa.keys[i].text(), sb.keys[j].text())) {
          index[i] = j;
          break;
        }
      }
    }
    return;
  }
  std::unordered_map<std::string_view, std::uint32_t> names;
  names.reserve(left_b);
  for (std::uint32_t j = common; j < b.size; ++j) {
    names.emplace(sb.keys[j].text(), j);
  }
  for (std::uint32_t i = common; i < a.size; ++i) {
    auto it = names.find(sa.keys[i].text());
    if (it != names.end()) index[i] = it->second;
  }
}

}  // namespace tarnwick
