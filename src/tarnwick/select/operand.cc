#include "tarnwick/select/operand.h"

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tarnwick/base/error.h"
#include "tarnwick/base/json_string.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw Error(ErrorKind::kBadExpectation, what);
}

}  // namespace

Decimal Operand::number() const {
  std::optional<Decimal> d = read_decimal(text);
  return d ? *d : Decimal();
}

std::string read_json_string(std::string_view s, std::size_t& end) {
  std::string out;
  std::size_t pos = 1;
  switch (read_json_string_rest(s, pos, out)) {
    case JsonStringFault::kNone:
      end = pos;
      return out;
    case JsonStringFault::kNotClosed:
      fail("a JSON string without its closing quote");
    case JsonStringFault::kControl:
      // A string that is not closed either is named for that first.
      if (s.find_first_of("\"\\", pos) == std::string_view::npos) {
        fail("a JSON string without its closing quote");
      }
      fail("a control character (a line break?) in a JSON string");
    case JsonStringFault::kBadUtf8:
      fail("bytes that are not UTF-8 in a JSON string");
    case JsonStringFault::kBadEscape:
      break;
  }
  if (s[pos + 1] == 'u') {
    fail("a '\\u' escape without four hex digits in a JSON string");
  }
  fail("an unknown escape in a JSON string");
}

Operand read_operand(std::string_view s) {
  Operand o;
  if (s.starts_with('"')) {
    std::size_t end = 0;
    o.text = read_json_string(s, end);
    std::string_view after = trim_white_space(s.substr(end));
    if (!after.empty()) {
      fail("unexpected " + quote_text(after) + " after a JSON string");
    }
    return o;
  }
  o.text = std::string(s);
  if (s == "true") {
    o.kind = Operand::Kind::kTrue;
  } else if (s == "false") {
    o.kind = Operand::Kind::kFalse;
  } else if (s == "null") {
    o.kind = Operand::Kind::kNull;
  } else if (read_decimal(s)) {
    o.kind = Operand::Kind::kNumber;
  }
  return o;
}

bool is_nan(const Node& v) {
  return v.kind == Kind::kReal && !(v.flags & Node::kRealAsText) &&
         std::isnan(v.real);
}

bool equals(const Node& v, const Operand& o) {
  switch (o.kind) {
    case Operand::Kind::kNumber: {
      if (v.kind == Kind::kText) return v.text() == o.text;
      if (v.kind != Kind::kWhole && v.kind != Kind::kReal) return false;
      char buf[kDecimalBuffer];
      std::optional<Decimal> d = decimal_of(v, buf);
      return d && compare(*d, o.number()) == 0;
    }
    case Operand::Kind::kText: {
      if (v.kind == Kind::kText) return v.text() == o.text;
      if (v.kind == Kind::kWhole) return v.text() == o.text;
      if (v.kind != Kind::kReal) return false;
      if (!(v.flags & Node::kRealAsText) && !std::isfinite(v.real)) {
        return false;
      }
      char buf[kRealBuffer];
      return real_form(v, buf) == o.text;
    }
    case Operand::Kind::kTrue:
      return v.kind == Kind::kTrue;
    case Operand::Kind::kFalse:
      return v.kind == Kind::kFalse;
    case Operand::Kind::kNull:
      return v.kind == Kind::kNull || is_nan(v);
  }
  return false;
}

}  // namespace tarnwick
