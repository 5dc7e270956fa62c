#include "tarnwick/base/json_string.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

constexpr std::uint64_t kEachByte = 0x0101010101010101;
constexpr std::uint64_t kTopBits = 0x8080808080808080;

// Whether the eight bytes at p go into a JSON string as they are, and are
// read from one as they are: ASCII without control characters, quotes and
// backslashes. Most text is such bytes, and one test of a word is much
// cheaper than eight of a byte.
bool is_plain_word(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  const std::uint64_t quote = w ^ (kEachByte * '"');
  const std::uint64_t backslash = w ^ (kEachByte * '\\');
  // A byte below 0x20, or one that is 0 after the xor, borrows and so gets
  // its top bit set; a byte outside ASCII has it already. A borrow reaches
  // further bytes only after such a byte, when the answer is no anyway.
  const std::uint64_t hits = w | ((w - kEachByte * 0x20) & ~w) |
                             ((quote - kEachByte) & ~quote) |
                             ((backslash - kEachByte) & ~backslash);
  return (hits & kTopBits) == 0;
}

bool is_plain_byte(unsigned char b) {
  return b >= 0x20 && b < 0x80 && b != '"' && b != '\\';
}

// Whether the last bytes of s, from pos on and fewer than eight, are plain:
// tested as one word together with the bytes before them, or padded with
// blanks when s is that short. Most keys and many values are that short.
bool is_plain_tail(std::string_view s, std::size_t pos) {
  if (s.size() >= 8) return is_plain_word(s.data() + s.size() - 8);
  char word[8];
  std::memset(word, ' ', sizeof word);
  std::memcpy(word, s.data() + pos, s.size() - pos);
  return is_plain_word(word);
}

// Where the next byte from pos on that needs a look of its own is (a control
// character, a quote, a backslash or a byte outside ASCII), or s.size().
std::size_t find_special(std::string_view s, std::size_t pos) {
  const char* p = s.data();
  const std::size_t n = s.size();
  while (pos + 8 <= n && is_plain_word(p + pos)) pos += 8;
  if (pos + 8 > n && is_plain_tail(s, pos)) return n;
  while (pos < n && is_plain_byte(static_cast<unsigned char>(p[pos]))) ++pos;
  return pos;
}

// ---- Reading ----

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at s[pos] as a code unit, or -1.
long hex4(std::string_view s, std::size_t pos) {
  if (pos + 4 > s.size()) return -1;
  long value = 0;
  for (std::size_t i = pos; i < pos + 4; ++i) {
    const int h = hex_value(s[i]);
    if (h < 0) return -1;
    value = value * 16 + h;
  }
  return value;
}

// What a backslash and this byte stand for; 0 for \u and invalid escapes.
constexpr std::array<char, 256> kSimpleEscape = [] {
  std::array<char, 256> t{};
  t['"'] = '"';
  t['\\'] = '\\';
  t['/'] = '/';
  t['b'] = '\b';
  t['f'] = '\f';
  t['n'] = '\n';
  t['r'] = '\r';
  t['t'] = '\t';
  return t;
}();

// Decodes the escape whose backslash is at s[pos], moving pos past it.
bool read_escape(std::string_view s, std::size_t& pos, std::string& out) {
  if (const char simple =
          kSimpleEscape[static_cast<unsigned char>(s[pos + 1])]) {
    out += simple;
    pos += 2;
    return true;
  }
  if (s[pos + 1] != 'u') return false;
  long unit = hex4(s, pos + 2);
  if (unit < 0) return false;
  std::size_t next = pos + 6;
  // A high surrogate followed by a low surrogate escape is one code point;
  // any other surrogate stays as it is.
  if (unit >= 0xD800 && unit <= 0xDBFF && s.substr(next, 2) == "\\u") {
    const long low = hex4(s, next + 2);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      next += 6;
    }
  }
  append_utf8(out, static_cast<char32_t>(unit));
  pos = next;
  return true;
}

// ---- Writing ----

// Where the next byte from pos on that a path writes otherwise than as it
// is: not printable ASCII, a quote or a backslash.
std::size_t find_special_in_path(std::string_view s, std::size_t pos) {
  while (pos < s.size()) {
    const auto b = static_cast<unsigned char>(s[pos]);
    if (b < 0x20 || b >= 0x7F || b == '"' || b == '\\') break;
    ++pos;
  }
  return pos;
}

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The line and paragraph separators are valid in a JSON string, but readers
// that take them for line ends (Python's str.splitlines, older JavaScript)
// would cut a line of JSON Lines in two; escaped, as Go's encoding/json
// writes them, they are harmless.
bool is_line_separator(char32_t c) { return c == 0x2028 || c == 0x2029; }

// Appends to a string, as Output does to its buffer.
struct StringSink {
  std::string& text;
  void write(std::string_view s) { text.append(s); }
  void put(char c) { text += c; }
};

// \u and four small hexadecimal digits, as Python's json module writes them;
// a code point past U+FFFF as its surrogate pair.
template <class Sink>
void write_unicode_escape(char32_t c, Sink& out) {
  if (c > 0xFFFF) {
    write_unicode_escape(0xD800 + ((c - 0x10000) >> 10), out);
    write_unicode_escape(0xDC00 + ((c - 0x10000) & 0x3FF), out);
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  const char escape[] = {'\\',
                         'u',
                         kHex[c >> 12 & 0xF],
                         kHex[c >> 8 & 0xF],
                         kHex[c >> 4 & 0xF],
                         kHex[c & 0xF]};
  out.write(std::string_view(escape, sizeof escape));
}

// The letters of the escapes that JSON has a short form for, by byte; 0
// where it has none.
constexpr std::array<char, 128> kShortEscape = [] {
  // Each character, then the letter that stands for it after a backslash.
  constexpr std::string_view kPairs = "\"\"\\\\\bb\ff\nn\rr\tt";
  std::array<char, 128> t{};
  for (std::size_t i = 0; i < kPairs.size(); i += 2)
    t[static_cast<unsigned char>(kPairs[i])] = kPairs[i + 1];
  return t;
}();

template <class Sink>
void write_ascii_escape(unsigned char b, JsonEscapes how, Sink& out) {
  const char letter = kShortEscape[b];
  if (letter != 0 && (how != JsonEscapes::kPath || b == '"' || b == '\\')) {
    const char escape[] = {'\\', letter};
    out.write(std::string_view(escape, sizeof escape));
  } else {
    write_unicode_escape(b, out);
  }
}

template <class Sink>
void write_string(std::string_view s, JsonEscapes how, Sink& out) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
  const bool path = how == JsonEscapes::kPath;
  out.put('"');
  std::size_t run = 0;
  std::size_t pos = 0;
  while ((pos = path ? find_special_in_path(s, pos) : find_special(s, pos)) <
         s.size()) {
    const auto b = static_cast<unsigned char>(s[pos]);
    std::size_t next = pos;
    char32_t c = b;
    const bool decoded =
        b >= 0x80 && decode_utf8(s, next, c, how != JsonEscapes::kMessage);
    if (decoded && !is_surrogate(c) && !is_line_separator(c) &&
        (!path || is_printable(c))) {
      pos = next;
      continue;
    }
    if (!decoded && b >= 0x80 && path) {  // not UTF-8: kept as it is
      ++pos;
      continue;
    }
    out.write(s.substr(run, pos - run));
    if (decoded) {
      write_unicode_escape(c, out);
      pos = next;
    } else if (b < 0x80) {
      write_ascii_escape(b, how, out);
      ++pos;
    } else {
      out.write(kReplacement);
      ++pos;
    }
    run = pos;
  }
  out.write(s.substr(run));
  out.put('"');
}

}  // namespace

JsonStringFault read_json_string_rest(std::string_view s, std::size_t& pos,
                                      std::string& out) {
  for (;;) {
    const std::size_t stop = find_special(s, pos);
    out.append(s, pos, stop - pos);
    pos = stop;
    if (pos == s.size()) return JsonStringFault::kNotClosed;
    const auto b = static_cast<unsigned char>(s[pos]);
    if (b == '"') {
      ++pos;
      return JsonStringFault::kNone;
    }
    if (b < 0x20) return JsonStringFault::kControl;
    if (b >= 0x80) {
      std::size_t next = pos;
      char32_t c;
      if (!decode_utf8(s, next, c)) return JsonStringFault::kBadUtf8;
      out.append(s, pos, next - pos);
      pos = next;
      continue;
    }
    // A backslash.
    if (pos + 1 == s.size()) {
      pos = s.size();
      return JsonStringFault::kNotClosed;
    }
    if (!read_escape(s, pos, out)) return JsonStringFault::kBadEscape;
  }
}

void write_json_string(std::string_view text, Output& out, JsonEscapes how) {
  write_string(text, how, out);
}

void append_json_string(std::string& out, std::string_view text,
                        JsonEscapes how) {
  StringSink sink{out};
  write_string(text, how, sink);
}

}  // namespace tarnwick
