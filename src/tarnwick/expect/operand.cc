#include "tarnwick/expect/operand.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw Error(ErrorKind::kBadExpectation, what);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits of a "\u" escape at s[pos], or -1.
long read_hex4(std::string_view s, std::size_t pos) {
  if (pos + 4 > s.size()) return -1;
  long value = 0;
  for (std::size_t i = pos; i < pos + 4; ++i) {
    int h = hex_value(s[i]);
    if (h < 0) return -1;
    value = value * 16 + h;
  }
  return value;
}

bool is_high_surrogate(long c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(long c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

Decimal Operand::number() const {
  std::optional<Decimal> d = read_decimal(text);
  return d ? *d : Decimal();
}

std::string read_json_string(std::string_view s, std::size_t& end) {
  std::string out;
  std::size_t pos = 1;
  for (;;) {
    std::size_t stop = s.find_first_of("\"\\", pos);
    if (stop == std::string_view::npos) {
      fail("a JSON string without its closing quote");
    }
    for (std::size_t i = pos; i < stop; ++i) {
      if (static_cast<unsigned char>(s[i]) < 0x20) {
        fail("a control character (a line break?) in a JSON string");
      }
    }
    out.append(s, pos, stop - pos);
    if (s[stop] == '"') {
      end = stop + 1;
      return out;
    }
    if (stop + 1 >= s.size()) fail("a JSON string without its closing quote");
    char e = s[stop + 1];
    pos = stop + 2;
    switch (e) {
      case '"':
      case '\\':
      case '/':
        out += e;
        continue;
      case 'b':
        out += '\b';
        continue;
      case 'f':
        out += '\f';
        continue;
      case 'n':
        out += '\n';
        continue;
      case 'r':
        out += '\r';
        continue;
      case 't':
        out += '\t';
        continue;
      case 'u':
        break;
      default:
        fail("an unknown escape in a JSON string");
    }
    long c = read_hex4(s, pos);
    if (c < 0) fail("a '\\u' escape without four hex digits in a JSON string");
    pos += 4;
    if (is_high_surrogate(c) && s.substr(pos, 2) == "\\u") {
      long low = read_hex4(s, pos + 2);
      if (is_low_surrogate(low)) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        pos += 6;
      }
    }
    append_utf8(out, static_cast<char32_t>(c));
  }
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

bool equals(const Node& v, const Operand& o) {
  switch (o.kind) {
    case Operand::Kind::kNumber: {
      if (v.kind == Kind::kText) return v.text() == o.text;
      if (v.kind != Kind::kWhole && v.kind != Kind::kReal) return false;
      char buf[kDecimalBuffer];
      std::optional<Decimal> d = decimal_of(v, buf);
      return d && compare(*d, o.number()) == 0;
    }
    case Operand::Kind::kText:
      return v.kind == Kind::kText && v.text() == o.text;
    case Operand::Kind::kTrue:
      return v.kind == Kind::kTrue;
    case Operand::Kind::kFalse:
      return v.kind == Kind::kFalse;
    case Operand::Kind::kNull:
      return v.kind == Kind::kNull;
  }
  return false;
}

}  // namespace tarnwick
