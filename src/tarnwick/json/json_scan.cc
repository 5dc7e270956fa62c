// The scanning of numbers and of the words true, false, null, NaN and
// Infinity for the Decoder, and the error messages that point at the byte
// where a body goes wrong. Texts are scanned in json_text.cc.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/text.h"
#include "tarnwick/json/json_decoder.h"

namespace tarnwick {

namespace {

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

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
