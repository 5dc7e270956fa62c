// The measuring of quoted texts.
#include "tarnwick/base/quoting.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace tarnwick {

namespace {

// Columns of the escape for a non-printable code point outside ASCII.
std::size_t escape_width(char32_t c) {
  return c <= 0xFF ? 4 : c <= 0xFFFF ? 6 : 10;
}

}  // namespace

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
    const Step step = next_step(s, pos);
    if (step.plain) {
      st.width += 8;
      pos = step.stop;
      continue;
    }
    while (pos < step.stop) {
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

}  // namespace tarnwick
