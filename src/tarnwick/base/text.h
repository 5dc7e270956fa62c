// Text helpers shared by the check-file reader, filtering and the report:
// UTF-8 decoding, the one white-space table, trimming and lower-case folding.
#ifndef TARNWICK_BASE_TEXT_H_
#define TARNWICK_BASE_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Tab, LF, VT, FF, CR, U+001C..U+001F, blank, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_white_space(char32_t c);

// Whether code point c is printable: all but control, format, surrogate,
// private-use and unassigned code points and the separators other than the
// blank (utf8proc's categories). Quoted texts hold printable code points as
// they are.
bool is_printable(char32_t c);

// Decodes the code point that starts at s[pos] and advances pos past it.
// Returns false, leaving pos unchanged, when the bytes there are not UTF-8.
// With allow_surrogates, U+D800..U+DFFF in their 3-byte form are accepted
// (texts of replies keep lone surrogate escapes that way).
bool decode_utf8(std::string_view s, std::size_t& pos, char32_t& c,
                 bool allow_surrogates = false);

// Appends the UTF-8 form of c (surrogates in their generalized 3-byte form).
void append_utf8(std::string& out, char32_t c);

// The byte offset of the first invalid UTF-8 sequence, or npos.
std::size_t find_invalid_utf8(std::string_view s,
                              bool allow_surrogates = false);

// Number of code points in valid UTF-8 (surrogates allowed).
std::size_t count_code_points(std::string_view s);

// How many bytes the first `characters` code points of s take (a byte that
// is not UTF-8 counts as one); s.size() when s has no more.
std::size_t prefix_of_characters(std::string_view s, std::size_t characters);

// n and the noun, singular or plural by n: "1 check", "9 checks", "0
// checks". The plural adds "s".
std::string counted(std::size_t n, std::string_view noun);

// The texts joined with ", ": "a.cfg, b.cfg".
std::string join_with_commas(const std::vector<std::string>& texts);

// s without the white space at both ends. s must be valid UTF-8 (bytes that
// are not are kept as they are).
std::string_view trim_white_space(std::string_view s);

// Map keys compared: a == b, without a call for keys of 4 to 16 bytes, the
// common case (two loads from each, overlapping in the middle).
inline bool same_key(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n >= 8 && n <= 16) {
    std::uint64_t a0, b0, a1, b1;
    std::memcpy(&a0, a.data(), 8);
    std::memcpy(&b0, b.data(), 8);
    std::memcpy(&a1, a.data() + n - 8, 8);
    std::memcpy(&b1, b.data() + n - 8, 8);
    return a0 == b0 && a1 == b1;
  }
  if (n < 4 || n > 16) return a == b;
  std::uint32_t a0, b0, a1, b1;
  std::memcpy(&a0, a.data(), 4);
  std::memcpy(&b0, b.data(), 4);
  std::memcpy(&a1, a.data() + n - 4, 4);
  std::memcpy(&b1, b.data() + n - 4, 4);
  return a0 == b0 && a1 == b1;
}

// s as one line that cannot drive a terminal: control characters (C0, DEL
// and C1) and bytes that are not UTF-8 written as escapes (\n, \r, \t,
// \xNN), everything else unchanged, so the result is valid UTF-8.
std::string escape_control_characters(std::string_view s);

// Whether a and b, different bytes, are the same text after canonical
// composition (NFC): "Zu\u0308rich" and "Z\u00fcrich", which print alike.
// False when either is not valid UTF-8.
bool looks_alike(std::string_view a, std::string_view b);

// s with every code point replaced by its simple lower-case mapping.
std::string fold_lower(std::string_view s);

}  // namespace tarnwick

#endif  // TARNWICK_BASE_TEXT_H_
