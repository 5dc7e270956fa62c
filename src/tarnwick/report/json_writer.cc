#include "tarnwick/report/json_writer.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "tarnwick/base/json_string.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

// Whether s holds U+2028 or U+2029 (E2 80 A8, E2 80 A9), which the writer
// escapes.
bool holds_line_separator(std::string_view s) {
  for (std::size_t at = s.find("\xE2\x80"); at != std::string_view::npos;
       at = s.find("\xE2\x80", at + 1)) {
    if (at + 2 < s.size() && (s[at + 2] == '\xA8' || s[at + 2] == '\xA9'))
      return true;
  }
  return false;
}

// Writes t, a text read from a reply without an escape (Node::kUnescaped),
// between double quotes as it is: it holds nothing JSON escapes.
void write_unescaped(const Node& t, Output& out) {
  out.put('"');
  out.write(t.text());
  out.put('"');
}

// Whether t, a text read from a reply without an escape, holds nothing this
// writer escapes either. Plain and printable texts hold no separator.
bool is_written_as_it_is(const Node& t) {
  return (t.flags & Node::kUnescaped) &&
         ((t.flags & (Node::kPlainText | Node::kPrintableText)) ||
          !holds_line_separator(t.text()));
}

void write_scalar(const Node& v, Output& out) {
  switch (v.kind) {
    case Kind::kNull:
      out.write("null");
      break;
    case Kind::kFalse:
      out.write("false");
      break;
    case Kind::kTrue:
      out.write("true");
      break;
    case Kind::kWhole:
      out.write(v.text());
      break;
    case Kind::kReal: {
      // JSON has no form for these; the words NaN and Infinity that some
      // readers take would make the output unreadable to the others. A real
      // held as its text is finite.
      if (!(v.flags & Node::kRealAsText) && !std::isfinite(v.real)) {
        out.write("null");
        break;
      }
      char buf[kRealBuffer];
      out.write(real_form(v, buf));
      break;
    }
    case Kind::kText:
      if (is_written_as_it_is(v)) {
        write_unescaped(v, out);
      } else {
        write_json_string(v.text(), out, JsonEscapes::kValue);
      }
      break;
    case Kind::kList:
    case Kind::kMap:
      break;
  }
}

}  // namespace

void write_json(const Node& value, Output& out) {
  // The containers begun and not yet closed, innermost last, each with the
  // index of its next element.
  struct Open {
    const Node* node;
    std::uint32_t next;
  };
  std::vector<Open> open;
  auto begin = [&](const Node& v) {
    if (!v.is_list() && !v.is_map()) {
      write_scalar(v, out);
    } else if (v.size == 0) {
      out.write(v.is_list() ? "[]" : "{}");
    } else {
      out.put(v.is_list() ? '[' : '{');
      open.push_back({&v, 0});
    }
  };
  begin(value);
  while (!open.empty()) {
    Open& o = open.back();
    const Node& c = *o.node;
    if (o.next == c.size) {
      out.put(c.is_list() ? ']' : '}');
      open.pop_back();
      continue;
    }
    const std::uint32_t i = o.next++;
    if (i > 0) out.write(", ");
    if (c.is_list()) {
      begin(c.items[i]);  // o is invalid from here on
      continue;
    }
    const MemberRef m = c.map()[i];
    if (is_written_as_it_is(m.key)) {
      write_unescaped(m.key, out);
    } else {
      write_json_string(m.name(), out, JsonEscapes::kValue);
    }
    out.write(": ");
    begin(m.value);
  }
}

}  // namespace tarnwick
