#include "tarnwick/select/path.h"

#include <cmath>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/json_string.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/base/value.h"
#include "tarnwick/select/operand.h"
#include "tarnwick/select/selector.h"
#include "tarnwick/select/step.h"

namespace tarnwick {

namespace {

// Whether a text may stand bare as the VALUE of "[NAME=VALUE]": the parser
// reads it back as this very text (no number, true, false or null), and it
// holds nothing that ends or splits a step or an expectation.
bool is_bare_value(std::string_view text) {
  if (text.empty()) return false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c;
    if (!decode_utf8(text, pos, c)) return false;
    if (c < 0x80 ? !(is_name_char(static_cast<char>(c)) ||
                     std::string_view("._:/@+").find(static_cast<char>(c)) !=
                         std::string_view::npos)
                 : !is_printable(c) || is_white_space(c)) {
      return false;
    }
  }
  return read_operand(text).kind == Operand::Kind::kText;
}

// The first of keys that element holds other than as the marker, or null.
const Node* key_of(const Node& element, std::span<const std::string> keys,
                   std::string_view& name) {
  if (!element.is_map()) return nullptr;
  for (const std::string& key : keys) {
    const Node* value = element.find(key);
    if (value != nullptr && !is_not_found_marker(*value)) {
      name = key;
      return value;
    }
  }
  return nullptr;
}

// The index of the i-th record among the records and the failed elements.
std::size_t printed_index(std::size_t i,
                          const std::vector<std::size_t>& failed) {
  for (std::size_t f : failed) {
    if (f <= i) ++i;
  }
  return i;
}

const std::string kObject[] = {"object"};

}  // namespace

std::string Reached::path_of(std::size_t steps, bool last_as_written,
                             const ElementNames& names) const {
  if (steps == 0) return ".";
  std::string out;
  const std::vector<Selector::Step>& all = selector_->steps_;
  for (std::size_t i = 0; i < steps; ++i) {
    const Selector::Step& s = all[i];
    if (s.kind == Selector::Step::Kind::kMember) {
      append_member_step(out, s.name);
      continue;
    }
    if (last_as_written && i + 1 == steps) {
      out += s.written;
      continue;
    }
    const Taken& t = taken_[i];
    const bool records = names.records && i == 0;
    if (append_key_step(out, *t.list, t.index,
                        records ? std::span<const std::string>(kObject)
                                : std::span<const std::string>(names.keys))) {
      continue;
    }
    append_index_step(out,
                      records ? printed_index(t.index, names.failed) : t.index);
  }
  return out;
}

std::string Reached::path(const ElementNames& names) const {
  return path_of(steps_, last_as_written_, names);
}

std::string Reached::note(const ElementNames& names) const {
  auto parent = [&] {
    return steps_ == 1 ? std::string("the result")
                       : path_of(steps_ - 1, false, names);
  };
  switch (hole) {
    case Hole::kMarker:
      return "marked " + quote_text(kNotFoundMarker);
    case Hole::kWrongKind:
      return parent() + " is " + type_of(*value);
    case Hole::kPastEnd:
      if (value->size == 0) return parent() + " is empty";
      return parent() + " has " + std::to_string(value->size) +
             (value->size == 1 ? " item" : " items");
    case Hole::kNone:
    case Hole::kMissingMember:
      break;
  }
  return "";
}

bool append_key_step(std::string& path, const Node& list, std::size_t i,
                     std::span<const std::string> keys) {
  std::string_view name;
  const Node* value = key_of(list.items[i], keys, name);
  if (value == nullptr) return false;
  std::string step;
  if (!append_where_step(step, name, *value)) return false;
  // The step must select the element alone: read back, as a reader of the
  // path would read it, with its typed equality.
  const Selector selector = Selector::parse(step);
  const Selector::Step& where = selector.steps().front();
  for (std::size_t j = 0; j < list.size; ++j) {
    if (where.where_holds(where.member_of(list.items[j])) != (j == i)) {
      return false;
    }
  }
  path += step;
  return true;
}

void append_member_step(std::string& path, std::string_view name) {
  if (is_bare_name(name)) {
    if (!path.empty()) path += '.';
    path += name;
  } else {
    path += '.';
    append_json_string(path, name, JsonEscapes::kPath);
  }
}

void append_index_step(std::string& path, std::size_t index) {
  path += '[';
  path += std::to_string(index);
  path += ']';
}

bool append_where_step(std::string& path, std::string_view name,
                       const Node& v) {
  if (v.is_list() || v.is_map()) return false;
  path += '[';
  if (is_bare_name(name)) {
    path += name;
  } else {
    append_json_string(path, name, JsonEscapes::kPath);
  }
  path += '=';
  switch (v.kind) {
    case Kind::kNull:
      path += "null";
      break;
    case Kind::kFalse:
      path += "false";
      break;
    case Kind::kTrue:
      path += "true";
      break;
    case Kind::kWhole:
      path += v.text();
      break;
    case Kind::kReal: {
      char buf[kRealBuffer];
      const bool finite =
          (v.flags & Node::kRealAsText) || std::isfinite(v.real);
      path += finite ? real_form(v, buf) : std::string_view("null");
      break;
    }
    case Kind::kText:
      if (is_bare_value(v.text())) {
        path += v.text();
      } else {
        append_json_string(path, v.text(), JsonEscapes::kPath);
      }
      break;
    case Kind::kList:
    case Kind::kMap:
      break;
  }
  path += ']';
  return true;
}

}  // namespace tarnwick
