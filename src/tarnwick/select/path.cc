#include "tarnwick/select/path.h"

#include <cmath>
#include <cstddef>
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

}  // namespace

std::string Reached::path_of(std::size_t steps, bool last_as_written) const {
  if (steps == 0) return ".";
  std::string out;
  const std::vector<Selector::Step>& all = selector_->steps_;
  for (std::size_t i = 0; i < steps; ++i) {
    const Selector::Step& s = all[i];
    if (s.kind == Selector::Step::Kind::kMember) {
      append_member_step(out, s.name);
    } else if (last_as_written && i + 1 == steps) {
      out += s.written;
    } else {
      append_index_step(out, indexes_[i]);
    }
  }
  return out;
}

std::string Reached::path() const { return path_of(steps_, last_as_written_); }

std::string Reached::note() const {
  auto parent = [&] {
    return steps_ == 1 ? std::string("the result") : path_of(steps_ - 1, false);
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
