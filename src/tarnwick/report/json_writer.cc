#include "tarnwick/report/json_writer.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

constexpr std::uint64_t kEachByte = 0x0101010101010101;
constexpr std::uint64_t kTopBits = 0x8080808080808080;

// Whether the eight bytes at p go into a JSON string as they are: ASCII
// without control characters, quotes and backslashes. Most of a reply's text
// is such bytes, and one test of a word is much cheaper than eight of a byte.
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

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The line and paragraph separators are valid in a JSON string, but readers
// that take them for line ends (Python's str.splitlines, older JavaScript)
// would cut a line of JSON Lines in two; escaped, as Go's encoding/json
// writes them, they are harmless.
bool is_line_separator(char32_t c) { return c == 0x2028 || c == 0x2029; }

// Whether s holds U+2028 or U+2029 (E2 80 A8, E2 80 A9).
bool holds_line_separator(std::string_view s) {
  for (std::size_t at = s.find("\xE2\x80"); at != std::string_view::npos;
       at = s.find("\xE2\x80", at + 1)) {
    if (at + 2 < s.size() && (s[at + 2] == '\xA8' || s[at + 2] == '\xA9'))
      return true;
  }
  return false;
}

// \u and four small hexadecimal digits, as Python's json module writes them.
void write_unicode_escape(char32_t c, Output& out) {
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

void write_ascii_escape(unsigned char b, Output& out) {
  if (const char letter = kShortEscape[b]) {
    const char escape[] = {'\\', letter};
    out.write(std::string_view(escape, sizeof escape));
  } else {
    write_unicode_escape(b, out);
  }
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

// What a surrogate's 3-byte form stands for: in a reply value, a lone
// surrogate escape that the decoder kept; in a name or message, bytes that
// are not UTF-8.
enum class Surrogates { kEscape, kReplace };

// Writes s between double quotes. Runs that need no escape are handed to out
// as one block.
void write_string(std::string_view s, Surrogates surrogates, Output& out) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
  out.put('"');
  std::size_t run = 0;
  std::size_t pos = 0;
  while ((pos = find_special(s, pos)) < s.size()) {
    const auto b = static_cast<unsigned char>(s[pos]);
    std::size_t next = pos;
    char32_t c = b;
    const bool decoded =
        b >= 0x80 && decode_utf8(s, next, c, surrogates == Surrogates::kEscape);
    if (decoded && !is_surrogate(c) && !is_line_separator(c)) {
      pos = next;
      continue;
    }
    out.write(s.substr(run, pos - run));
    if (decoded) {
      write_unicode_escape(c, out);
      pos = next;
    } else if (b < 0x80) {
      write_ascii_escape(b, out);
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
        write_string(v.text(), Surrogates::kEscape, out);
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
      write_string(m.name(), Surrogates::kEscape, out);
    }
    out.write(": ");
    begin(m.value);
  }
}

void write_json_string(std::string_view text, Output& out) {
  write_string(text, Surrogates::kReplace, out);
}

}  // namespace tarnwick
