#include "tarnwick/report/layout.h"

#include <cstdint>
#include <string_view>

#include "tarnwick/base/literal.h"
#include "tarnwick/base/quoting.h"

namespace tarnwick {

namespace {

bool is_container(const Node& v) { return v.is_list() || v.is_map(); }

// Columns of the brackets and separators of a container's one-line form.
std::uint64_t frame_length(const Node& v) {
  return 2 + (v.size ? 2 * (v.size - std::uint64_t{1}) : 0);
}

// The quoted width of the text node t, or one past `limit` once it is known
// to be wider.
std::uint64_t text_length(const Node& t, std::uint64_t limit) {
  if (t.flags & Node::kPlainText) return std::uint64_t{t.size} + 2;
  if (t.flags & Node::kPrintableText)
    return std::uint64_t{count_code_points(t.text())} + 2;
  TextStats st;
  if (!scan_text_within(t.text(), limit, st)) return limit + 1;
  return quoted_width(st);
}

// The one-line length of a scalar, or for a text one past `limit` once it is
// known to be longer.
std::uint64_t scalar_length(const Node& v, std::uint64_t limit) {
  switch (v.kind) {
    case Kind::kNull:
    case Kind::kTrue:
      return 4;
    case Kind::kFalse:
      return 5;
    case Kind::kWhole:
      return v.size;
    case Kind::kReal: {
      char buf[kRealBuffer];
      return real_form(v, buf).size();
    }
    case Kind::kText:
      return text_length(v, limit);
    default:
      return 0;
  }
}

}  // namespace

void Layout::print(const Node& root) {
  place(root, 0, 0, true);
  while (!open_.empty()) write_next_element();
  out_.put('\n');
}

// Whether the one-line form of v takes at most `room` columns. The walk stops
// as soon as the answer is no, so a container that is broken anyway costs no
// more than about a line's worth of its elements, and nothing is kept of it:
// each container is measured once, when it is placed.
bool Layout::fits(const Node& v, std::uint64_t room) {
  if (!is_container(v)) return scalar_length(v, room) <= room;
  std::uint64_t used = frame_length(v);
  if (used > room) return false;
  walk_.clear();
  walk_.push_back({&v, 0, 0});
  while (!walk_.empty()) {
    Walk& w = walk_.back();
    const Node& c = *w.node;
    if (w.next == c.size) {
      walk_.pop_back();
      continue;
    }
    const std::uint32_t i = w.next++;
    const Node* child = &c.items[i];
    if (c.is_map()) {
      const MemberRef m = c.map()[i];
      used += text_length(m.key, room - used) + 2;
      if (used > room) return false;
      child = &m.value;
    }
    if (is_container(*child)) {
      used += frame_length(*child);
      if (used > room) return false;
      walk_.push_back({child, 0, 0});  // w is invalid from here on
    } else {
      used += scalar_length(*child, room - used);
      if (used > room) return false;
    }
  }
  return true;
}

// Writes v starting at column col, with `allowance` characters following it
// on its last line; top is true for the whole result.
void Layout::place(const Node& v, std::size_t col, std::size_t allowance,
                   bool top) {
  if (v.is_text()) {
    std::string_view s = v.text();
    // No character takes more than four columns per byte (\xNN), so a short
    // text fits without a closer look; a plain text takes one a byte.
    const std::uint64_t per_byte = is_written_as_is(v) ? 1 : 4;
    if (col + per_byte * s.size() + 2 + allowance <= width_) {
      write_text(out_, v);
      return;
    }
    TextStats st = scan_text(s);
    if (col + quoted_width(st) + allowance <= width_) {
      write_quoted(out_, s, uses_single_quotes(st));
    } else {
      write_split(s, col, allowance, top);
    }
    return;
  }
  if (!is_container(v)) {
    write_scalar(v);
    return;
  }
  if (col + allowance <= width_ && fits(v, width_ - col - allowance)) {
    write_flat(v);
    return;
  }
  out_.put(v.is_list() ? '[' : '{');
  if (v.size == 0) {
    out_.put(v.is_list() ? ']' : '}');
    return;
  }
  open_.push_back({&v, key_order_.push(v), 0, col + 1, allowance + 1});
}

// Writes the next element of the innermost broken container, or its closing
// bracket.
void Layout::write_next_element() {
  Open& o = open_.back();
  const Node& v = *o.node;
  if (o.next == v.size) {
    out_.put(v.is_list() ? ']' : '}');
    key_order_.pop(o.order);
    open_.pop_back();
    return;
  }
  std::uint32_t i = o.next++;
  if (i > 0) {
    out_.write(",\n");
    write_spaces(o.indent);
  }
  std::size_t allowance = i + 1 == v.size ? o.allowance : 1;
  std::size_t col = o.indent;
  if (v.is_list()) {
    place(v.items[i], col, allowance, false);  // o is invalid from here on
    return;
  }
  const MemberRef m = v.map()[key_order_.member(o.order, i)];
  std::string_view key = m.name();
  std::uint64_t key_width;
  if (is_written_as_is(m.key) || is_plain_text(key)) {
    // One column a character, and the quotes.
    key_width = (m.key.flags & Node::kPrintableText ? count_code_points(key)
                                                    : key.size()) +
                2;
    write_plain_text(out_, key);
  } else {
    TextStats st = scan_text(key);
    key_width = quoted_width(st);
    write_quoted(out_, key, uses_single_quotes(st));
  }
  out_.write(": ");
  place(m.value, col + key_width + 2, allowance, false);
}

void Layout::write_scalar(const Node& v) {
  switch (v.kind) {
    case Kind::kNull:
      out_.write("None");
      break;
    case Kind::kFalse:
      out_.write("False");
      break;
    case Kind::kTrue:
      out_.write("True");
      break;
    case Kind::kWhole:
      out_.write(v.text());
      break;
    case Kind::kReal: {
      char buf[kRealBuffer];
      out_.write(real_form(v, buf));
      break;
    }
    case Kind::kText:
      write_text(out_, v);
      break;
    default:
      break;
  }
}

// Writes container v in one-line form.
void Layout::write_flat(const Node& v) {
  out_.put(v.is_list() ? '[' : '{');
  walk_.clear();
  walk_.push_back({&v, key_order_.push(v), 0});
  while (!walk_.empty()) {
    Walk& w = walk_.back();
    const Node& c = *w.node;
    if (w.next == c.size) {
      out_.put(c.is_list() ? ']' : '}');
      key_order_.pop(w.order);
      walk_.pop_back();
      continue;
    }
    std::uint32_t i = w.next++;
    if (i > 0) out_.write(", ");
    const Node* child = &c.items[i];
    if (c.is_map()) {
      const MemberRef m = c.map()[key_order_.member(w.order, i)];
      write_text(out_, m.key);
      out_.write(": ");
      child = &m.value;
    }
    if (!is_container(*child)) {
      write_scalar(*child);
      continue;
    }
    out_.put(child->is_list() ? '[' : '{');
    walk_.push_back({child, key_order_.push(*child), 0});  // w is invalid
  }
}

void Layout::write_spaces(std::size_t n) {
  static constexpr std::string_view kSpaces =
      "                                                                ";
  for (; n > kSpaces.size(); n -= kSpaces.size()) out_.write(kSpaces);
  out_.write(kSpaces.substr(0, n));
}

// Writes a text that does not fit as pieces, one per line, each starting at
// column col. The whole result is put in parentheses; a text that does not
// break after all is written as it is.
void Layout::write_split(std::string_view s, std::size_t col,
                         std::size_t allowance, bool top) {
  if (s.empty()) {
    out_.write("''");
    return;
  }
  if (top) ++col, ++allowance;
  split_text(s,
             static_cast<std::int64_t>(width_) - static_cast<std::int64_t>(col),
             static_cast<std::int64_t>(allowance), pieces_);
  if (pieces_.size() == 1) {
    write_quoted(out_, s, pieces_[0].single_quotes);
    return;
  }
  if (top) out_.put('(');
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    if (i > 0) {
      out_.put('\n');
      write_spaces(col);
    }
    const TextPiece& p = pieces_[i];
    write_quoted(out_, s.substr(p.begin, p.end - p.begin), p.single_quotes);
  }
  if (top) out_.put(')');
}

}  // namespace tarnwick
