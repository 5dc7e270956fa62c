// The one-line forms of scalars in nested-literal notation: texts quoted
// (quoting.h) and doubles written as their shortest round-trip digits.
#include "tarnwick/base/literal.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "tarnwick/base/quoting.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

struct StringSink {
  std::string& s;
  void write(std::string_view v) { s.append(v); }
  void put(char c) { s.push_back(c); }
};

}  // namespace

std::size_t format_real_into(double d, char* buf) {
  if (std::isnan(d)) {
    std::memcpy(buf, "nan", 3);
    return 3;
  }
  if (std::isinf(d)) {
    if (d < 0) {
      std::memcpy(buf, "-inf", 4);
      return 4;
    }
    std::memcpy(buf, "inf", 3);
    return 3;
  }
  if (d == 0) {
    if (std::signbit(d)) {
      std::memcpy(buf, "-0.0", 4);
      return 4;
    }
    std::memcpy(buf, "0.0", 3);
    return 3;
  }
  // The shortest digits that read back as d, as d.ddde±XX.
  char sci[kRealBuffer];
  auto res =
      std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  std::size_t sci_len = static_cast<std::size_t>(res.ptr - sci);
  const char* e = static_cast<const char*>(std::memchr(sci, 'e', sci_len));
  int exponent = 0;
  std::from_chars(e[1] == '+' ? e + 2 : e + 1, res.ptr, exponent);
  if (exponent < -4 || exponent >= 16) {
    std::memcpy(buf, sci, sci_len);
    return sci_len;
  }
  char digits[kRealBuffer];
  std::size_t ndigits = 0;
  std::size_t len = 0;
  for (const char* p = sci; p < e; ++p) {
    if (*p == '-') {
      buf[len++] = '-';
    } else if (*p != '.') {
      digits[ndigits++] = *p;
    }
  }
  if (exponent < 0) {
    buf[len++] = '0';
    buf[len++] = '.';
    for (int i = -1; i > exponent; --i) buf[len++] = '0';
    std::memcpy(buf + len, digits, ndigits);
    return len + ndigits;
  }
  auto whole = static_cast<std::size_t>(exponent) + 1;
  for (std::size_t i = 0; i < whole; ++i)
    buf[len++] = i < ndigits ? digits[i] : '0';
  buf[len++] = '.';
  if (ndigits <= whole) {
    buf[len++] = '0';
  } else {
    std::memcpy(buf + len, digits + whole, ndigits - whole);
    len += ndigits - whole;
  }
  return len;
}

std::string quote_text(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  StringSink sink{out};
  write_quoted(sink, s, pick_single_quotes(s));
  return out;
}

std::string_view real_form(const Node& real, char* buf) {
  if (real.flags & Node::kRealAsText) return real.text();
  return {buf, format_real_into(real.real, buf)};
}

std::string format_real(double d) {
  char buf[kRealBuffer];
  return std::string(buf, format_real_into(d, buf));
}

std::string quote_text_ascii(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::string quoted = quote_text(s);
  std::string out;
  std::size_t pos = 0;
  while (pos < quoted.size()) {
    const std::size_t start = pos;
    char32_t c;
    if (!decode_utf8(quoted, pos, c, true) || c < 0x80) {
      pos = start + 1;
      out += quoted[start];
      continue;
    }
    const int digits = c > 0xFFFF ? 8 : 4;
    out += digits == 8 ? "\\U" : "\\u";
    for (int i = digits - 1; i >= 0; --i) out += kHex[(c >> (4 * i)) & 15];
  }
  return out;
}

}  // namespace tarnwick
