// Literal forms of scalars: a text quoted and escaped, a double in its
// shortest round-trip digits. The report prints values in these forms, and
// every message that names a file, key or value quotes it the same way.
#ifndef TARNWICK_BASE_LITERAL_H_
#define TARNWICK_BASE_LITERAL_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "tarnwick/base/value.h"

namespace tarnwick {

// The one-line form of a text: 'up', "it's", with escapes. A byte that is
// not part of valid UTF-8 is written as \xNN.
std::string quote_text(std::string_view s);

// quote_text(s) with every character outside ASCII as its escape: \u00fc,
// \U0001f600. Two texts that print alike but differ show it so.
std::string quote_text_ascii(std::string_view s);

// The one-line form of a double: 2.5, 100.0, 1e+16, 1.5e-05, -0.0, inf, nan.
std::string format_real(double d);

// Room for the one-line form of any double.
inline constexpr std::size_t kRealBuffer = 32;

// Writes the one-line form of d, as format_real does, to buf (at least
// kRealBuffer bytes) and returns its length. Does not allocate.
std::size_t format_real_into(double d, char* buf);

// The one-line form of the kReal `real`: the text it is held as, or its
// double formatted into buf (at least kRealBuffer bytes).
std::string_view real_form(const Node& real, char* buf);

}  // namespace tarnwick

#endif  // TARNWICK_BASE_LITERAL_H_
