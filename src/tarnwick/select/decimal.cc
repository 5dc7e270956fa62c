#include "tarnwick/select/decimal.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick {

namespace {

constexpr std::int64_t kExponentLimit = std::int64_t{1} << 62;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The run of digits at s[pos], pos moved past it.
std::string_view digits_at(std::string_view s, std::size_t& pos) {
  std::size_t start = pos;
  while (pos < s.size() && is_digit(s[pos])) ++pos;
  return s.substr(start, pos - start);
}

std::string_view drop_leading_zeros(std::string_view s) {
  std::size_t n = s.find_first_not_of('0');
  return n == std::string_view::npos ? std::string_view() : s.substr(n);
}

std::string_view drop_trailing_zeros(std::string_view s) {
  std::size_t n = s.find_last_not_of('0');
  return n == std::string_view::npos ? std::string_view() : s.substr(0, n + 1);
}

char digit_at(const Decimal& d, std::size_t i) {
  return i < d.lead.size() ? d.lead[i] : d.rest[i - d.lead.size()];
}

int compare_magnitude(const Decimal& a, const Decimal& b) {
  // Zero is below any other magnitude.
  if (a.is_zero() || b.is_zero()) return b.is_zero() - a.is_zero();
  if (a.point != b.point) return a.point < b.point ? -1 : 1;
  const std::size_t na = a.lead.size() + a.rest.size();
  const std::size_t nb = b.lead.size() + b.rest.size();
  for (std::size_t i = 0; i < na && i < nb; ++i) {
    char x = digit_at(a, i);
    char y = digit_at(b, i);
    if (x != y) return x < y ? -1 : 1;
  }
  // No trailing zeros: the one with more digits left is the larger.
  return na == nb ? 0 : (na < nb ? -1 : 1);
}

}  // namespace

std::optional<Decimal> read_decimal(std::string_view s) {
  std::size_t pos = 0;
  Decimal d;
  if (pos < s.size() && s[pos] == '-') {
    d.negative = true;
    ++pos;
  }
  std::string_view whole = digits_at(s, pos);
  if (whole.empty() || (whole.size() > 1 && whole[0] == '0')) {
    return std::nullopt;
  }
  std::string_view fraction;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    fraction = digits_at(s, pos);
    if (fraction.empty()) return std::nullopt;
  }
  std::int64_t exponent = 0;
  if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
    ++pos;
    bool minus = false;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
      minus = s[pos] == '-';
      ++pos;
    }
    std::string_view e = digits_at(s, pos);
    if (e.empty()) return std::nullopt;
    for (char c : e) {
      if (exponent > (kExponentLimit - 9) / 10) {
        exponent = kExponentLimit;
        break;
      }
      exponent = exponent * 10 + (c - '0');
    }
    if (minus) exponent = -exponent;
  }
  if (pos != s.size()) return std::nullopt;

  whole = drop_leading_zeros(whole);
  if (!whole.empty()) {
    d.lead = whole;
    d.rest = drop_trailing_zeros(fraction);
    if (d.rest.empty()) d.lead = drop_trailing_zeros(d.lead);
    d.point = static_cast<std::int64_t>(whole.size()) + exponent;
  } else {
    std::string_view significant = drop_leading_zeros(fraction);
    d.lead = drop_trailing_zeros(significant);
    d.point = exponent -
              static_cast<std::int64_t>(fraction.size() - significant.size());
  }
  if (d.is_zero()) {
    d.negative = false;
    d.point = 0;
  }
  return d;
}

std::optional<Decimal> decimal_of(const Node& v, char* buf) {
  switch (v.kind) {
    case Kind::kWhole:
    case Kind::kText:
      return read_decimal(v.text());
    case Kind::kReal: {
      if (v.flags & Node::kRealAsText) return read_decimal(v.text());
      double x = v.number();
      if (!std::isfinite(x)) return std::nullopt;
      // The shortest digits that read back as x, e.g. "1.5e+16".
      std::to_chars_result r = std::to_chars(buf, buf + kDecimalBuffer, x,
                                             std::chars_format::scientific);
      return read_decimal(std::string_view(buf, r.ptr - buf));
    }
    default:
      return std::nullopt;
  }
}

int compare(const Decimal& a, const Decimal& b) {
  if (a.negative != b.negative) return a.negative ? -1 : 1;
  int m = compare_magnitude(a, b);
  return a.negative ? -m : m;
}

}  // namespace tarnwick
