// Exact decimal numbers, for comparing the numbers of a result with those an
// expectation or a selector names, and with those of an earlier result.
//
// Every number is compared as the decimal it is written as: a whole number of
// a reply by its digits (so values past 2^53 are not rounded), a number read
// from a text by its digits, and a real of a reply by the shortest decimal
// that reads back as the same double (the digits the report prints), so that
// a reply's 0.1 equals an expectation's 0.1 and 1.0 equals 1. Two decimals
// are equal when they have the same value, however they are written: 1.50,
// 1.5 and 15e-1 are one number.
#ifndef TARNWICK_SELECT_DECIMAL_H_
#define TARNWICK_SELECT_DECIMAL_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "tarnwick/base/value.h"

namespace tarnwick {

// A finite decimal number: 0.DIGITS × 10^point, DIGITS being `lead` then
// `rest` with no leading or trailing zero (both empty for zero). The views
// point into the text it was read from, which must outlive it.
struct Decimal {
  bool negative = false;
  std::string_view lead;
  std::string_view rest;
  std::int64_t point = 0;

  bool is_zero() const { return lead.empty() && rest.empty(); }
};

// The number that s spells as a whole JSON number (an optional "-", digits
// without a leading zero, an optional fraction and exponent; nothing else, no
// blank); nullopt when s is no such number. Exponents beyond ±2^62 saturate
// there, the one place where two different numbers may compare equal. Linear
// in the size of s.
std::optional<Decimal> read_decimal(std::string_view s);

// Room for the shortest digits of any double.
inline constexpr std::size_t kDecimalBuffer = 40;

// The number a kWhole or kReal node holds, or a kText node spells as a JSON
// number; a real's digits are written to buf (kDecimalBuffer bytes). nullopt
// for any other node, a text that is no JSON number, and a real that is
// infinite or not a number.
std::optional<Decimal> decimal_of(const Node& v, char* buf);

// -1, 0 or 1 as a is less than, equal to or greater than b. Linear in the
// digits compared.
int compare(const Decimal& a, const Decimal& b);

}  // namespace tarnwick

#endif  // TARNWICK_SELECT_DECIMAL_H_
