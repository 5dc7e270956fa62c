#include "tarnwick/base/text.h"

#include <utf8proc.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>

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

}  // namespace

bool is_printable(char32_t c) {
  static const BmpPrintable bmp;
  if (c < 0x10000) return bmp.test(c);
  return category_is_printable(c);
}

bool is_white_space(char32_t c) {
  if (c <= 0x20)
    return c == 0x20 || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

bool decode_utf8(std::string_view s, std::size_t& pos, char32_t& c,
                 bool allow_surrogates) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos;
  std::size_t left = s.size() - pos;
  if (left == 0) return false;
  unsigned char b0 = p[0];
  if (b0 < 0x80) {
    c = b0;
    pos += 1;
    return true;
  }
  std::size_t n;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (left < n) return false;
  for (std::size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) return false;
  if (!allow_surrogates && cp >= 0xD800 && cp <= 0xDFFF) return false;
  c = cp;
  pos += n;
  return true;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::size_t find_invalid_utf8(std::string_view s, bool allow_surrogates) {
  std::size_t pos = 0;
  char32_t c;
  while (pos < s.size()) {
    // ASCII runs are the common case.
    if (static_cast<unsigned char>(s[pos]) < 0x80) {
      ++pos;
      continue;
    }
    if (!decode_utf8(s, pos, c, allow_surrogates)) return pos;
  }
  return std::string_view::npos;
}

std::size_t count_code_points(std::string_view s) {
  std::size_t n = 0;
  for (char ch : s) {
    if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++n;
  }
  return n;
}

std::size_t prefix_of_characters(std::string_view s, std::size_t characters) {
  std::size_t end = 0;
  for (std::size_t n = 0; end < s.size() && n < characters; ++n) {
    char32_t c;
    if (!decode_utf8(s, end, c, true)) ++end;
  }
  return end;
}

std::string counted(std::size_t n, std::string_view noun) {
  std::string text = std::to_string(n) + " ";
  text.append(noun);
  if (n != 1) text += 's';
  return text;
}

std::string join_with_commas(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) {
    if (!joined.empty()) joined += ", ";
    joined += text;
  }
  return joined;
}

std::string_view trim_white_space(std::string_view s) {
  std::size_t pos = 0;
  std::size_t begin = s.size();
  std::size_t end = 0;
  while (pos < s.size()) {
    std::size_t at = pos;
    char32_t c;
    if (!decode_utf8(s, pos, c, true)) {
      c = 0xFFFD;  // not white space
      pos = at + 1;
    }
    if (!is_white_space(c)) {
      if (begin == s.size()) begin = at;
      end = pos;
    }
  }
  if (begin >= end) return s.substr(0, 0);
  return s.substr(begin, end - begin);
}

std::string escape_control_characters(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t start = pos;
    char32_t c;
    if (!decode_utf8(s, pos, c)) {
      c = static_cast<unsigned char>(s[pos++]);
    } else if (c >= 0x20 && (c < 0x7f || c > 0x9f)) {
      out.append(s.substr(start, pos - start));
      continue;
    }
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
  return out;
}

namespace {

// s composed canonically (NFC), or nullopt when it is not valid UTF-8.
std::optional<std::string> composed(std::string_view s) {
  utf8proc_uint8_t* out = nullptr;
  const utf8proc_ssize_t n = utf8proc_map(
      reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
      static_cast<utf8proc_ssize_t>(s.size()), &out,
      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  std::optional<std::string> result;
  if (n >= 0) {
    result.emplace(reinterpret_cast<const char*>(out),
                   static_cast<std::size_t>(n));
  }
  std::free(out);
  return result;
}

}  // namespace

bool looks_alike(std::string_view a, std::string_view b) {
  if (a == b) return false;
  const std::optional<std::string> x = composed(a);
  return x && x == composed(b);
}

std::string fold_lower(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t pos = 0;
  while (pos < s.size()) {
    char32_t c;
    if (!decode_utf8(s, pos, c, true)) {
      out += s[pos++];
      continue;
    }
    append_utf8(out, static_cast<char32_t>(
                         utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
  }
  return out;
}

}  // namespace tarnwick
