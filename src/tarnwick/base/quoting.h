// Quoting of texts: how each character is written between quotes, what the
// quoted form of a text costs in columns, and writing it to a sink (anything
// with write(std::string_view) and put(char)). quote_text (literal.h) and the
// report printer write texts with it. Internal: no public header includes it.
#ifndef TARNWICK_BASE_QUOTING_H_
#define TARNWICK_BASE_QUOTING_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "tarnwick/base/text.h"
#include "tarnwick/base/value.h"

namespace tarnwick {

// ---------------------------------------------------------------------------
// Characters of quoted texts

// How an ASCII byte is written inside quotes.
enum AsciiClass : std::uint8_t {
  kPlain,     // itself
  kQuote,     // ' : itself in double quotes, \' in single quotes
  kShortEsc,  // \\ \t \n \r
  kHexEsc,    // \xNN
};

constexpr std::array<std::uint8_t, 128> make_ascii_classes() {
  std::array<std::uint8_t, 128> t{};
  for (int c = 0; c < 128; ++c) {
    if (c < 0x20 || c == 0x7F) {
      t[c] = kHexEsc;
    } else {
      t[c] = kPlain;
    }
  }
  t['\t'] = t['\n'] = t['\r'] = t['\\'] = kShortEsc;
  t['\''] = kQuote;
  return t;
}

inline constexpr std::array<std::uint8_t, 128> kAsciiClass =
    make_ascii_classes();

// What an ASCII byte costs inside quotes: its columns (a single quote
// counted as one) in the low bits, and flags for white space and quotes.
inline constexpr std::uint8_t kColumnBits = 7;
inline constexpr std::uint8_t kSpaceBit = 8;
inline constexpr std::uint8_t kSingleBit = 16;
inline constexpr std::uint8_t kDoubleBit = 32;

constexpr std::array<std::uint8_t, 128> make_ascii_costs() {
  std::array<std::uint8_t, 128> t{};
  for (int c = 0; c < 128; ++c) {
    t[c] = kAsciiClass[c] == kHexEsc ? 4 : kAsciiClass[c] == kShortEsc ? 2 : 1;
    // The white space of text.h's is_white_space.
    if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F)) {
      t[c] |= kSpaceBit;
    }
  }
  t['\''] |= kSingleBit;
  t['"'] |= kDoubleBit;
  return t;
}

inline constexpr std::array<std::uint8_t, 128> kAsciiCost = make_ascii_costs();

// Decodes the code point at s[pos] (outside ASCII). A byte that does not start
// a UTF-8 sequence comes back as ok = false and is written as \xNN.
struct Decoded {
  char32_t c;
  std::size_t length;
  bool ok;
};

inline Decoded decode_at(std::string_view s, std::size_t pos) {
  // The two- and three-byte forms that make up most texts outside ASCII are
  // taken here; anything else as decode_utf8 takes it.
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos;
  const std::size_t left = s.size() - pos;
  if (left >= 2 && p[0] >= 0xC2 && p[0] <= 0xDF && (p[1] & 0xC0) == 0x80) {
    return {static_cast<char32_t>((p[0] & 0x1F) << 6 | (p[1] & 0x3F)), 2, true};
  }
  if (left >= 3 && (p[0] & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 &&
      (p[2] & 0xC0) == 0x80) {
    auto c = static_cast<char32_t>((p[0] & 0x0F) << 12 | (p[1] & 0x3F) << 6 |
                                   (p[2] & 0x3F));
    if (c >= 0x800) return {c, 3, true};  // surrogates are kept as they are
  }
  std::size_t next = pos;
  char32_t c;
  if (decode_utf8(s, next, c, true)) return {c, next - pos, true};
  return {static_cast<unsigned char>(s[pos]), 1, false};
}

// What the quoted form of a text costs: its columns with a single quote
// counted as one, and the quotes of each kind it holds.
struct TextStats {
  std::uint64_t width = 0;
  std::uint64_t singles = 0;
  std::uint64_t doubles = 0;

  TextStats& operator+=(const TextStats& o) {
    width += o.width;
    singles += o.singles;
    doubles += o.doubles;
    return *this;
  }
};

// Double quotes only for a text with a single quote and no double quote.
inline bool uses_single_quotes(const TextStats& st) {
  return st.singles == 0 || st.doubles != 0;
}

inline std::uint64_t quoted_width(const TextStats& st) {
  return st.width + 2 + (uses_single_quotes(st) ? st.singles : 0);
}

inline void add_ascii(std::uint8_t cost, TextStats& st) {
  st.width += cost & kColumnBits;
  if (cost & (kSingleBit | kDoubleBit)) {
    st.singles += (cost & kSingleBit) != 0;
    st.doubles += (cost & kDoubleBit) != 0;
  }
}

// Adds the cost of the code point outside ASCII at s[pos] to st and returns
// its length in bytes.
std::size_t add_non_ascii(std::string_view s, std::size_t pos, TextStats& st);

// Eight bytes at a time: true when none of them needs a look of its own,
// that is all are printable ASCII other than the quotes and the backslash.
inline constexpr std::uint64_t kOnes = 0x0101010101010101;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080;

inline bool has_byte(std::uint64_t w, std::uint8_t b) {
  std::uint64_t x = w ^ (kOnes * b);
  return ((x - kOnes) & ~x & kHighBits) != 0;
}

inline bool all_plain(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if ((w & kHighBits) != 0 || ((w - kOnes * 0x20) & ~w & kHighBits) != 0)
    return false;
  return !has_byte(w, 0x7F) && !has_byte(w, '\'') && !has_byte(w, '"') &&
         !has_byte(w, '\\');
}

// One step of a walk over a text from s[pos]: either eight bytes that need
// no look of their own (plain), or the bytes up to `stop` to be looked at one
// by one (at most eight, fewer at the end of s).
struct Step {
  bool plain;
  std::size_t stop;
};

inline Step next_step(std::string_view s, std::size_t pos) {
  if (pos + 8 > s.size()) return {false, s.size()};
  return {all_plain(s.data() + pos), pos + 8};
}

// What the quoted form of s costs.
TextStats scan_text(std::string_view s);

// scan_text, stopping once the quoted width is known to pass `limit`:
// returns false then, with st holding what was scanned so far.
bool scan_text_within(std::string_view s, std::uint64_t limit, TextStats& st);

inline constexpr char kHexDigits[] = "0123456789abcdef";

// Writes \xNN, \uNNNN or \UNNNNNNNN, the shortest that holds c.
template <typename Sink>
void write_escape(Sink& out, char32_t c) {
  char buf[10];
  buf[0] = '\\';
  int digits;
  if (c <= 0xFF) {
    buf[1] = 'x', digits = 2;
  } else if (c <= 0xFFFF) {
    buf[1] = 'u', digits = 4;
  } else {
    buf[1] = 'U', digits = 8;
  }
  for (int i = 0; i < digits; ++i) {
    buf[2 + i] = kHexDigits[(c >> (4 * (digits - 1 - i))) & 0xF];
  }
  out.write(std::string_view(buf, static_cast<std::size_t>(2 + digits)));
}

// Writes s between quotes, single quotes unless `single` is false. Runs of
// characters that need no escape are copied as one block.
template <typename Sink>
void write_quoted(Sink& out, std::string_view s, bool single) {
  const char quote = single ? '\'' : '"';
  out.put(quote);
  const std::size_t n = s.size();
  std::size_t run = 0;
  std::size_t pos = 0;
  while (pos < n) {
    const Step step = next_step(s, pos);
    if (step.plain) {
      pos = step.stop;
      continue;
    }
    while (pos < step.stop) {
      auto b = static_cast<unsigned char>(s[pos]);
      if (b < 0x80) {
        std::uint8_t cls = kAsciiClass[b];
        if (cls == kPlain || (cls == kQuote && !single)) {
          ++pos;
          continue;
        }
        out.write(s.substr(run, pos - run));
        switch (b) {
          case '\'':
            out.write("\\'");
            break;
          case '\\':
            out.write("\\\\");
            break;
          case '\t':
            out.write("\\t");
            break;
          case '\n':
            out.write("\\n");
            break;
          case '\r':
            out.write("\\r");
            break;
          default:
            write_escape(out, b);
        }
        run = ++pos;
        continue;
      }
      Decoded d = decode_at(s, pos);
      if (d.ok && is_printable(d.c)) {
        pos += d.length;
        continue;
      }
      out.write(s.substr(run, pos - run));
      write_escape(out, d.c);
      run = pos += d.length;
    }
  }
  out.write(s.substr(run, n - run));
  out.put(quote);
}

// The quote style without a full scan: only a text with a single quote needs
// a look for double quotes.
bool pick_single_quotes(std::string_view s);

// Whether every byte of s is printable ASCII other than the single quote and
// the backslash: then s is written as it is, between single quotes.
bool is_plain_text(std::string_view s);

// Writes s as it is between single quotes.
template <typename Sink>
void write_plain_text(Sink& out, std::string_view s) {
  out.put('\'');
  out.write(s);
  out.put('\'');
}

// Writes the one-line form of text s.
template <typename Sink>
void write_text(Sink& out, std::string_view s) {
  if (is_plain_text(s)) {
    write_plain_text(out, s);
    return;
  }
  write_quoted(out, s, pick_single_quotes(s));
}

// Whether the text node t is plain (is_plain_text), by the decoder's word
// where it has one.
inline bool is_plain_text(const Node& t) {
  return (t.flags & Node::kPlainText) || is_plain_text(t.text());
}

// Whether the decoder found that the text node t is written as it is between
// single quotes, ASCII or not.
inline bool is_written_as_is(const Node& t) {
  return (t.flags & (Node::kPlainText | Node::kPrintableText)) != 0;
}

// Writes the one-line form of the text node t.
template <typename Sink>
void write_text(Sink& out, const Node& t) {
  if (is_written_as_is(t)) {
    write_plain_text(out, t.text());
    return;
  }
  write_text(out, t.text());
}

}  // namespace tarnwick

#endif  // TARNWICK_BASE_QUOTING_H_
