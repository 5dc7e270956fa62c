// The scanning of texts of a reply for the Decoder: the plain runs found
// sixteen or eight bytes at a time, escapes and UTF-8 checked, and what the
// printer may take on the decoder's word (Node::Flags).
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tarnwick/base/json_string.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/json/json_decoder.h"

namespace tarnwick {

namespace {

// Bytes that end the fast scan of a text: the quote, the backslash, raw
// control characters and every byte of a multi-byte sequence.
constexpr std::array<bool, 256> kTextStop = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[c] = c < 0x20 || c >= 0x80 || c == '"' || c == '\\';
  return t;
}();

// The code point of the valid n-byte UTF-8 sequence at p (n from 2 to 4).
inline char32_t code_point(const unsigned char* p, std::size_t n) {
  if (n == 2) return static_cast<char32_t>((p[0] & 0x1F) << 6 | (p[1] & 0x3F));
  if (n == 3) {
    return static_cast<char32_t>((p[0] & 0x0F) << 12 | (p[1] & 0x3F) << 6 |
                                 (p[2] & 0x3F));
  }
  return static_cast<char32_t>((p[0] & 0x07) << 18 | (p[1] & 0x3F) << 12 |
                               (p[2] & 0x3F) << 6 | (p[3] & 0x3F));
}

// The first byte at or after p, before end, that ends a plain run of a text
// (kTextStop), or end. With kNoting, also notes in `quoted` whether a byte
// before it is a single quote or DEL: a run of printable ASCII without one
// is printed as it is. Sixteen bytes at a time where SSE2 is there, else
// eight (a byte's high bit set where it holds what is looked for).
template <bool kNoting>
const unsigned char* scan_run(const unsigned char* p, const unsigned char* end,
                              bool& quoted) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i slash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i single = _mm_set1_epi8('\'');
  const __m128i del = _mm_set1_epi8(0x7F);
  while (end - p >= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed, bytes from 0x80 are below the blank too.
    const __m128i stops = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, slash)),
        _mm_cmplt_epi8(x, space));
    const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(stops));
    unsigned marks = 0;
    if constexpr (kNoting) {
      marks = static_cast<unsigned>(_mm_movemask_epi8(
          _mm_or_si128(_mm_cmpeq_epi8(x, single), _mm_cmpeq_epi8(x, del))));
    }
    if (hits != 0) {
      const int stop = std::countr_zero(hits);
      if (marks & ((1u << stop) - 1)) quoted = true;
      return p + stop;
    }
    if (marks != 0) quoted = true;
    p += 16;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    while (end - p >= 8) {
      std::uint64_t x;
      std::memcpy(&x, p, 8);
      const std::uint64_t q = x ^ (kOnes * '"');
      const std::uint64_t b = x ^ (kOnes * '\\');
      // Where a byte is zero (quote, backslash) or below 0x20; bytes from
      // 0x80 are caught by x itself. Borrows only carry into bytes above a
      // true hit, so the lowest hit is exact, and the marks below it too.
      const std::uint64_t hits = (((q - kOnes) & ~q) | ((b - kOnes) & ~b) |
                                  ((x - kOnes * 0x20) & ~x) | x) &
                                 kHigh;
      std::uint64_t marks = 0;
      if constexpr (kNoting) {
        const std::uint64_t s1 = x ^ (kOnes * '\'');
        const std::uint64_t d = x ^ (kOnes * 0x7F);
        marks = (((s1 - kOnes) & ~s1) | ((d - kOnes) & ~d)) & kHigh;
      }
      if (hits != 0) {
        const int stop = std::countr_zero(hits) >> 3;
        if (marks & ((std::uint64_t{1} << (8 * stop)) - 1)) quoted = true;
        return p + stop;
      }
      if (marks != 0) quoted = true;
      p += 8;
    }
  }
  for (; p != end && !kTextStop[*p]; ++p) {
    if (kNoting && (*p == '\'' || *p == 0x7F)) quoted = true;
  }
  return p;
}

}  // namespace

const unsigned char* Decoder::scan_plain_noting(const unsigned char* p,
                                                bool& quoted) const {
  return scan_run<true>(p, end_, quoted);
}

const unsigned char* Decoder::scan_plain(const unsigned char* p) const {
  bool ignored = false;
  return scan_run<false>(p, end_, ignored);
}

Node Decoder::decode_text(bool keep) {
  const unsigned char* start = ++p_;  // past the opening quote
  // What the printer needs to know is looked for in texts that are kept.
  bool quoted = false;
  const unsigned char* p =
      keep ? scan_plain_noting(start, quoted) : scan_plain(start);
  if (p != end_ && *p == '"') {
    // The common case: nothing but printable ASCII.
    const std::size_t size = static_cast<std::size_t>(p - start);
    if (size > max_size_)
      fail("text opened" + at_byte(start - 1) + " is too long");
    p_ = p + 1;
    Node text = Node::text_of({reinterpret_cast<const char*>(start), size});
    text.flags =
        quoted ? Node::kUnescaped : Node::kPlainText | Node::kUnescaped;
    return text;
  }
  // Characters outside ASCII: the text is printed as it is when every one of
  // them is printable, and there is no single quote or DEL either.
  bool printable = keep;
  for (;;) {
    if (p == end_) fail("text opened" + at_byte(start - 1) + " is not closed");
    unsigned char c = *p;
    if (c == '"') break;
    if (c == '\\') return decode_escaped_text(start, p, keep);
    if (c < 0x20) fail_control(p);
    std::size_t n = utf8_sequence_length(p, end_);
    if (n == 0) fail("invalid UTF-8" + at_byte(p));
    if (printable) printable = is_printable(code_point(p, n));
    p += n;
    // Characters outside ASCII mostly come in runs.
    if (p != end_ && *p < 0x80)
      p = keep ? scan_plain_noting(p, quoted) : scan_plain(p);
  }
  std::size_t size = static_cast<std::size_t>(p - start);
  if (size > max_size_)
    fail("text opened" + at_byte(start - 1) + " is too long");
  p_ = p + 1;
  Node text = Node::text_of({reinterpret_cast<const char*>(start), size});
  text.flags = printable && !quoted ? Node::kPrintableText | Node::kUnescaped
                                    : Node::kUnescaped;
  return text;
}

// Continues decode_text from the first backslash at `run`: the rest is read
// by the reader of JSON strings, the unescaped text going into the arena.
Node Decoder::decode_escaped_text(const unsigned char* start,
                                  const unsigned char* run, bool keep) {
  scratch_.assign(reinterpret_cast<const char*>(start),
                  static_cast<std::size_t>(run - start));
  const std::string_view body(reinterpret_cast<const char*>(begin_),
                              offset(end_));
  std::size_t pos = offset(run);
  const JsonStringFault fault = read_json_string_rest(body, pos, scratch_);
  const unsigned char* p = begin_ + pos;
  switch (fault) {
    case JsonStringFault::kNone:
      break;
    case JsonStringFault::kNotClosed:
      fail("text opened" + at_byte(start - 1) + " is not closed");
    case JsonStringFault::kControl:
      fail_control(p);
    case JsonStringFault::kBadUtf8:
      fail("invalid UTF-8" + at_byte(p));
    case JsonStringFault::kBadEscape:
      fail_escape(p);
  }
  if (scratch_.size() > max_size_)
    fail("text opened" + at_byte(start - 1) + " is too long");
  p_ = p;
  return keep ? Node::text_of(arena_.copy(scratch_)) : Node();
}

// The bad escape whose backslash is at p, quoted as far as it goes.
void Decoder::fail_escape(const unsigned char* p) const {
  if (p[1] != 'u') {
    std::size_t n = p[1] < 0x80 ? 1 : utf8_sequence_length(p + 1, end_);
    if (n == 0) fail("invalid UTF-8" + at_byte(p + 1));
    fail("invalid escape " +
         quote_text(std::string_view(reinterpret_cast<const char*>(p), n + 1)) +
         at_byte(p));
  }
  const unsigned char* stop = p + 2;
  while (stop != end_ && stop - p < 6 && *stop >= 0x20 && *stop < 0x80) ++stop;
  fail("invalid escape " +
       quote_text(std::string_view(reinterpret_cast<const char*>(p),
                                   static_cast<std::size_t>(stop - p))) +
       at_byte(p));
}

}  // namespace tarnwick
