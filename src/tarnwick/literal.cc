// The one-line forms of scalars in nested-literal notation: texts quoted and
// escaped (printability of code points, the measuring of quoted texts) and
// doubles written as their shortest round-trip digits.
#include "tarnwick/literal.h"

#include <utf8proc.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "tarnwick/notation_impl.h"

namespace tarnwick {

namespace {

bool category_is_printable(char32_t c) {
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return false;
    case UTF8PROC_CATEGORY_ZS:
      return c == U' ';
    default:
      return true;
  }
}

// Printability of the code points below U+10000, looked up once: texts of
// replies are mostly in that range and a bit test is much cheaper than the
// category lookup.
class BmpPrintable {
 public:
  BmpPrintable() {
    for (char32_t c = 0; c < 0x10000; ++c) {
      if (category_is_printable(c))
        bits_[c >> 6] |= std::uint64_t{1} << (c & 63);
    }
  }
  bool test(char32_t c) const { return (bits_[c >> 6] >> (c & 63)) & 1; }

 private:
  std::array<std::uint64_t, 0x10000 / 64> bits_{};
};

// Columns of the escape for a non-printable code point outside ASCII.
std::size_t escape_width(char32_t c) {
  return c <= 0xFF ? 4 : c <= 0xFFFF ? 6 : 10;
}

struct StringSink {
  std::string& s;
  void write(std::string_view v) { s.append(v); }
  void put(char c) { s.push_back(c); }
};

}  // namespace

bool is_printable(char32_t c) {
  static const BmpPrintable bmp;
  if (c < 0x10000) return bmp.test(c);
  return category_is_printable(c);
}

std::size_t add_non_ascii(std::string_view s, std::size_t pos, TextStats& st) {
  Decoded d = decode_at(s, pos);
  st.width += !d.ok ? 4 : is_printable(d.c) ? 1 : escape_width(d.c);
  return d.length;
}

TextStats scan_text(std::string_view s) {
  TextStats st;
  scan_text_within(s, std::numeric_limits<std::uint64_t>::max(), st);
  return st;
}

bool scan_text_within(std::string_view s, std::uint64_t limit, TextStats& st) {
  std::size_t pos = 0;
  const std::size_t n = s.size();
  // The quotes alone take two columns.
  while (pos < n) {
    if (st.width + 2 > limit) return false;
    std::size_t stop = n;
    if (pos + 8 <= n) {
      if (all_plain(s.data() + pos)) {
        st.width += 8;
        pos += 8;
        continue;
      }
      stop = pos + 8;
    }
    while (pos < stop) {
      auto b = static_cast<unsigned char>(s[pos]);
      if (b < 0x80) {
        add_ascii(kAsciiCost[b], st);
        ++pos;
      } else {
        pos += add_non_ascii(s, pos, st);
      }
    }
  }
  return quoted_width(st) <= limit;
}

bool pick_single_quotes(std::string_view s) {
  if (std::memchr(s.data(), '\'', s.size()) == nullptr) return true;
  return std::memchr(s.data(), '"', s.size()) != nullptr;
}

bool is_plain_text(std::string_view s) {
  const char* p = s.data();
  const std::size_t n = s.size();
  std::size_t pos = 0;
  for (; pos + 8 <= n; pos += 8) {
    if (!all_plain(p + pos)) return false;
  }
  for (; pos < n; ++pos) {
    auto b = static_cast<unsigned char>(p[pos]);
    if (b >= 0x80 || kAsciiClass[b] != kPlain) return false;
  }
  return true;
}

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

std::string format_real(double d) {
  char buf[kRealBuffer];
  return std::string(buf, format_real_into(d, buf));
}

}  // namespace tarnwick
