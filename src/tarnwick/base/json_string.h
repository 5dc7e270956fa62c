// JSON strings, read and written: the one reader of a JSON string's escapes
// (the reply decoder and the selector and expectation reader use it) and the
// one writer (the JSON writer, JSON Lines reports and the paths of findings
// and changes use it).
#ifndef TARNWICK_BASE_JSON_STRING_H_
#define TARNWICK_BASE_JSON_STRING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tarnwick/base/output.h"

namespace tarnwick {

// What stops a JSON string from being read.
enum class JsonStringFault : std::uint8_t {
  kNone,
  kNotClosed,  // the text ends before the closing quote
  kControl,    // a raw control character (below U+0020)
  kBadUtf8,    // bytes that are not UTF-8 (a surrogate's 3-byte form too)
  kBadEscape,  // a backslash not followed by a valid escape; "\u" without
               // four hex digits included
};

// Reads on from s[pos], a place inside a JSON string, up to and past its
// closing quote, appending the text to out with its escapes decoded: "\u"
// escapes of a surrogate pair as one code point, a lone surrogate's in its
// 3-byte form (as replies keep it). On success pos is past the closing
// quote; on a fault, pos is where it is (the backslash of a bad escape, the
// byte of a control character or of bad UTF-8, s.size() for a string not
// closed, which a backslash at the very end is too). Linear in what it reads.
JsonStringFault read_json_string_rest(std::string_view s, std::size_t& pos,
                                      std::string& out);

// How write_json_string escapes a text. All three write a quote and a
// backslash as \" and \\, and give valid JSON for valid UTF-8.
enum class JsonEscapes : std::uint8_t {
  // A text of a reply: \b \f \n \r \t for those characters, \u00XX for the
  // other control characters, \u2028 and \u2029 for the line and paragraph
  // separators (which some readers take for line ends), a surrogate's 3-byte
  // form as its \uXXXX escape, a byte that is not UTF-8 as U+FFFD.
  kValue,
  // A name or message: as kValue, except that a surrogate's 3-byte form is
  // not UTF-8 either and becomes U+FFFD.
  kMessage,
  // A member name in a path that a terminal shows: every code point that is
  // not printable (is_printable; DEL and the control characters included) as
  // its \uXXXX escape, those past U+FFFF as two, and a byte that is not UTF-8
  // kept as it is.
  kPath,
};

// Writes text as one JSON string, between double quotes. Runs that need no
// escape are handed to out as one block. Throws OutputError, as
// Output::write does, when out cannot be written.
void write_json_string(std::string_view text, Output& out,
                       JsonEscapes how = JsonEscapes::kMessage);

// Appends text as write_json_string writes it to out.
void append_json_string(std::string& out, std::string_view text,
                        JsonEscapes how);

}  // namespace tarnwick

#endif  // TARNWICK_BASE_JSON_STRING_H_
