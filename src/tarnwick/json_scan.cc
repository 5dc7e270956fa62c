// The scanning of single tokens of a reply for the Decoder: texts (escapes
// and UTF-8 checked), numbers, the words true, false, null, NaN and Infinity,
// and the error messages that point at the byte where a body goes wrong.
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tarnwick/error.h"
#include "tarnwick/json_decoder.h"
#include "tarnwick/literal.h"
#include "tarnwick/text.h"

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

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// The length of the valid UTF-8 sequence (no overlong forms, no surrogates,
// nothing above U+10FFFF) that starts with a byte >= 0x80 at p, or 0.
inline std::size_t utf8_sequence_length(const unsigned char* p,
                                        const unsigned char* end) {
  unsigned char b0 = p[0];
  std::size_t left = static_cast<std::size_t>(end - p);
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    return left >= 2 && (p[1] & 0xC0) == 0x80 ? 2 : 0;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return 0;
    if (b0 == 0xE0 && p[1] < 0xA0) return 0;   // overlong
    if (b0 == 0xED && p[1] >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 ||
        (p[3] & 0xC0) != 0x80) {
      return 0;
    }
    if (b0 == 0xF0 && p[1] < 0x90) return 0;   // overlong
    if (b0 == 0xF4 && p[1] >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

// Whether the real between int_start and mantissa_end, written without an
// exponent, is written in its report form already: at most 15 significant
// digits (so no shorter text reads back as the same double, and none other
// of as many digits), no trailing zero but the one of ".0", and no more than
// three zeros after the point before the first digit of a number below 1
// (from 0.0001 down the report writes an exponent).
bool is_report_form(const unsigned char* int_start,
                    const unsigned char* int_end,
                    const unsigned char* mantissa_end) {
  const std::size_t fraction =
      static_cast<std::size_t>(mantissa_end - int_end) - 1;
  if (fraction > 1 && mantissa_end[-1] == '0') return false;
  std::size_t digits = static_cast<std::size_t>(int_end - int_start) + fraction;
  if (*int_start == '0') {
    const unsigned char* first = int_end + 1;
    while (first != mantissa_end && *first == '0') ++first;
    if (first == mantissa_end) return fraction == 1;  // 0.0
    if (first - (int_end + 1) > 3) return false;
    digits = static_cast<std::size_t>(mantissa_end - first);
  }
  return digits <= 15;
}

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

inline int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at p as a code unit, or -1.
inline long hex4(const unsigned char* p) {
  long v = 0;
  for (int i = 0; i < 4; ++i) {
    int h = hex_value(p[i]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

}  // namespace

void Decoder::fail_unexpected(const unsigned char* at,
                              const char* context) const {
  if (at == end_) fail("unexpected end" + at_byte(at) + context);
  std::string what;
  if (*at < 0x80) {
    what = quote_text(std::string_view(reinterpret_cast<const char*>(at), 1));
  } else if (std::size_t n = utf8_sequence_length(at, end_)) {
    what = quote_text(std::string_view(reinterpret_cast<const char*>(at), n));
  } else {
    static constexpr char kHex[] = "0123456789abcdef";
    fail(std::string("invalid UTF-8 byte 0x") + kHex[*at >> 4] +
         kHex[*at & 15] + at_byte(at));
  }
  fail("unexpected " + what + at_byte(at) + context);
}

void Decoder::fail_number(const unsigned char* start,
                          const unsigned char* at) const {
  // Show the number as far as it looks like one, capped.
  constexpr std::ptrdiff_t kMaxExcerpt = 32;
  auto in_number = [&](const unsigned char* q) {
    return q != end_ && (q < at || is_digit(*q) || *q == '.' || *q == 'e' ||
                         *q == 'E' || *q == '+' || *q == '-');
  };
  const unsigned char* stop = start + 1;
  while (stop - start < kMaxExcerpt && in_number(stop)) ++stop;
  fail("invalid number " +
       quote_text(std::string_view(reinterpret_cast<const char*>(start),
                                   static_cast<std::size_t>(stop - start))) +
       (in_number(stop) ? "..." : "") + at_byte(start));
}

void Decoder::fail_not_closed() const {
  const OpenContainer& c = open_.back();
  fail(std::string(c.is_map ? "map" : "list") + " opened at byte " +
       std::to_string(c.opened_at) + " is not closed");
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

// Continues decode_text from the first backslash at `run`; the unescaped text
// goes into the arena.
Node Decoder::decode_escaped_text(const unsigned char* start,
                                  const unsigned char* run, bool keep) {
  scratch_.assign(reinterpret_cast<const char*>(start),
                  static_cast<std::size_t>(run - start));
  const unsigned char* p = run;
  for (;;) {
    const unsigned char* q = scan_plain(p);
    scratch_.append(reinterpret_cast<const char*>(p),
                    static_cast<std::size_t>(q - p));
    p = q;
    if (p == end_) fail("text opened" + at_byte(start - 1) + " is not closed");
    unsigned char c = *p;
    if (c == '"') break;
    if (c < 0x20) fail_control(p);
    if (c >= 0x80) {
      std::size_t n = utf8_sequence_length(p, end_);
      if (n == 0) fail("invalid UTF-8" + at_byte(p));
      scratch_.append(reinterpret_cast<const char*>(p), n);
      p += n;
      continue;
    }
    // A backslash.
    if (end_ - p < 2)
      fail("text opened" + at_byte(start - 1) + " is not closed");
    if (char simple = kSimpleEscape[p[1]]) {
      scratch_ += simple;
      p += 2;
      continue;
    }
    if (p[1] != 'u') {
      std::size_t n = p[1] < 0x80 ? 1 : utf8_sequence_length(p + 1, end_);
      if (n == 0) fail("invalid UTF-8" + at_byte(p + 1));
      fail("invalid escape " +
           quote_text(
               std::string_view(reinterpret_cast<const char*>(p), n + 1)) +
           at_byte(p));
    }
    long unit = end_ - p >= 6 ? hex4(p + 2) : -1;
    if (unit < 0) {
      const unsigned char* stop = p + 2;
      while (stop != end_ && stop - p < 6 && *stop >= 0x20 && *stop < 0x80)
        ++stop;
      fail("invalid escape " +
           quote_text(std::string_view(reinterpret_cast<const char*>(p),
                                       static_cast<std::size_t>(stop - p))) +
           at_byte(p));
    }
    p += 6;
    char32_t code = static_cast<char32_t>(unit);
    // A high surrogate followed by a low surrogate escape is one code point;
    // any other surrogate stays as it is.
    if (code >= 0xD800 && code <= 0xDBFF && end_ - p >= 6 && p[0] == '\\' &&
        p[1] == 'u') {
      long low = hex4(p + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) +
               static_cast<char32_t>(low - 0xDC00);
        p += 6;
      }
    }
    append_utf8(scratch_, code);
  }
  if (scratch_.size() > max_size_)
    fail("text opened" + at_byte(start - 1) + " is too long");
  p_ = p + 1;
  return keep ? Node::text_of(arena_.copy(scratch_)) : Node();
}

Node Decoder::decode_number(bool keep) {
  const unsigned char* start = p_;
  const unsigned char* p = p_;
  bool negative = *p == '-';
  if (negative) {
    ++p;
    if (end_ - p >= 8 && std::memcmp(p, "Infinity", 8) == 0) {
      p_ = p + 8;
      return Node::real_number(-std::numeric_limits<double>::infinity());
    }
  }
  if (p == end_ || !is_digit(*p)) fail_number(start, p);
  const unsigned char* int_start = p;
  if (*p == '0') {
    ++p;
    if (p != end_ && is_digit(*p)) fail_number(start, p);
  } else {
    while (p != end_ && is_digit(*p)) ++p;
  }
  const unsigned char* int_end = p;
  bool fraction = p != end_ && *p == '.';
  if (fraction) {
    ++p;
    if (p == end_ || !is_digit(*p)) fail_number(start, p);
    while (p != end_ && is_digit(*p)) ++p;
  }
  const unsigned char* mantissa_end = p;
  bool exponent = p != end_ && (*p == 'e' || *p == 'E');
  long long exp_value = 0;
  if (exponent) {
    ++p;
    bool exp_negative = false;
    if (p != end_ && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
    if (p == end_ || !is_digit(*p)) fail_number(start, p);
    while (p != end_ && is_digit(*p)) {
      // Saturates; only the order of magnitude matters past this.
      if (exp_value < 1000000000) exp_value = exp_value * 10 + (*p - '0');
      ++p;
    }
    if (exp_negative) exp_value = -exp_value;
  }
  p_ = p;
  std::size_t size = static_cast<std::size_t>(p - start);
  if (!fraction && !exponent) {
    if (size > max_size_) fail("number" + at_byte(start) + " is too long");
    if (negative && size == 2 && start[1] == '0') return Node::whole_of("0");
    return Node::whole_of({reinterpret_cast<const char*>(start), size});
  }
  // Past its syntax, a number with fraction or exponent cannot fail.
  if (!keep) return Node();
  if (!exponent && is_report_form(int_start, int_end, mantissa_end)) {
    return Node::real_text_of({reinterpret_cast<const char*>(start), size});
  }
  if (mantissa_end - int_start <= 20) {
    // Up to 19 digits and a small power of ten: both are exact doubles, so
    // one multiplication or division rounds correctly.
    static constexpr double kPowers[] = {
        1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    std::uint64_t mantissa = 0;
    for (const unsigned char* q = int_start; q != mantissa_end; ++q) {
      if (*q != '.') mantissa = mantissa * 10 + (*q - '0');
    }
    long long scale = exp_value - (fraction ? mantissa_end - int_end - 1 : 0);
    if (mantissa <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
      double d = static_cast<double>(mantissa);
      d = scale < 0 ? d / kPowers[-scale] : d * kPowers[scale];
      return Node::real_number(negative ? -d : d);
    }
  }
  double d = 0;
  auto [ptr, ec] = std::from_chars(reinterpret_cast<const char*>(start),
                                   reinterpret_cast<const char*>(p), d);
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves d alone here. The decimal exponent of the first
    // significant digit tells overflow from underflow: those lie hundreds
    // of orders of magnitude apart.
    long long magnitude = exp_value;
    if (*int_start != '0') {
      magnitude += int_end - int_start - 1;
    } else {
      const unsigned char* q = int_end + 1;
      while (q < mantissa_end && *q == '0') ++q;
      magnitude -= q - int_end;
    }
    d = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    if (negative) d = -d;
  } else if (ec != std::errc() || ptr != reinterpret_cast<const char*>(p)) {
    fail_number(start, p);
  }
  return Node::real_number(d);
}

// Reads true, false, null, NaN or Infinity, if one starts at p_.
bool Decoder::decode_word(Node& out) {
  auto take = [this](std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::memcmp(p_, word.data(), word.size()) != 0) {
      return false;
    }
    p_ += word.size();
    return true;
  };
  if (take("true")) {
    out = Node::boolean(true);
  } else if (take("false")) {
    out = Node::boolean(false);
  } else if (take("null")) {
    out = Node::null();
  } else if (take("NaN")) {
    out = Node::real_number(std::numeric_limits<double>::quiet_NaN());
  } else if (take("Infinity")) {
    out = Node::real_number(std::numeric_limits<double>::infinity());
  } else {
    return false;
  }
  return true;
}

}  // namespace tarnwick
