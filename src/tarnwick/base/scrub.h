// Taking the secrets (the password, session ids) out of what tarnwick writes
// itself: a controller may echo a request back in an error page, in any of
// the spellings below, and a message that quotes the page must not show it.
#ifndef TARNWICK_BASE_SCRUB_H_
#define TARNWICK_BASE_SCRUB_H_

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/error.h"

namespace tarnwick {

// What a secret is replaced by.
inline constexpr std::string_view kScrubbed = "***";

// A fixed set of secrets, with what it takes to find each in every spelling
// worked out once. Each character of a secret may be written
// - as it is (UTF-8);
// - form-encoded, as it went on the wire: "+" for a blank, or "%XX" for each
//   of its bytes, in upper or lower case ("%21", "%c3%bc");
// - JSON-escaped: "\"", "\\", "\/", "\n" and the other short escapes, or
//   "\uXXXX" (a surrogate pair past U+FFFF), as Python's json.dumps writes
//   by default and others with "\/";
// - as an HTML character reference: "&amp;", "&lt;", "&gt;", "&quot;",
//   "&apos;", "&#33;", "&#033;", "&#x21;" (escapes in either case);
// and a spelling may mix these from character to character. Matches are
// whole spellings of a secret; only at the edge where a quote was cut is a
// piece of one taken out (scrub_cut, excerpt). Empty secrets are left out.
//
// A const Scrubber may be used from several threads at once. It holds
// copies of the secrets, overwritten when it is destroyed.
class Scrubber {
 public:
  // Scrubs nothing.
  Scrubber() = default;
  explicit Scrubber(std::initializer_list<std::string_view> secrets);
  Scrubber(const Scrubber&) = default;
  Scrubber(Scrubber&&) noexcept = default;
  Scrubber& operator=(const Scrubber&) = default;
  Scrubber& operator=(Scrubber&&) noexcept = default;
  ~Scrubber();

  // Whether there is no secret to take out.
  bool empty() const { return secrets_.empty(); }

  // text with every spelling of a secret replaced by "***".
  std::string scrub(std::string_view text) const;

  // As scrub, for a text cut short at its end: also a piece of 4 or more
  // characters at the end that a spelling of a secret of 4 or more
  // characters begins with ("S3cr" of "S3cret!") is replaced by "***". A
  // shorter secret is taken out only whole.
  std::string scrub_cut(std::string_view text) const;

  // The start of text as a message quotes it: at most `limit` bytes, cut
  // at a character boundary, every spelling of a secret that begins there
  // replaced by "***" whole (also one that runs past `limit`), and a piece
  // at the end of the excerpt taken out as scrub_cut does. goes_on: text is
  // only the start of something longer; the excerpt then stops short before
  // a spelling that may run past the end of text. text needs to hold
  // `limit + longest_spelling()` bytes when there are that many.
  std::string excerpt(std::string_view text, std::size_t limit,
                      bool goes_on) const;

  // The most bytes a spelling of one of the secrets takes.
  std::size_t longest_spelling() const { return longest_; }

  // e with its message scrubbed.
  Error scrubbed(const Error& e) const;

 private:
  // One way of writing one character of a secret: bytes of pool_, compared
  // as they are or, for escapes, with ASCII letters in either case (the
  // pool then holds them in lower case).
  struct Spelling {
    std::uint32_t at;
    std::uint32_t size;
    bool any_case;
  };
  // One character of a secret: its spellings, spellings_[first, first+count).
  struct Character {
    std::uint32_t first;
    std::uint32_t count;
  };
  struct Secret {
    std::uint32_t first;      // into characters_
    std::uint32_t count;      // of characters
    std::bitset<256> starts;  // the bytes a spelling may begin with
  };
  // What the spellings of the secrets do at one place in a text.
  struct Found {
    std::size_t end = std::string_view::npos;  // of the longest whole one
    bool runs_to_end = false;  // a spelling's beginning runs to text's end
    bool piece = false;        // ... one of 4+ characters, of a secret of 4+
  };

  void add_secret(std::string_view secret);
  void add_character(std::string_view bytes, char32_t c, bool valid);
  void add_spelling(std::string_view bytes, bool any_case);
  Found find_at(std::string_view text, std::size_t at) const;
  void find_secret_at(const Secret& secret, std::string_view text,
                      std::size_t at, Found& found) const;
  // Replaces a piece of a secret at the end of out by "***".
  void cut_piece(std::string& out) const;

  std::vector<char> pool_;
  std::vector<Spelling> spellings_;
  std::vector<Character> characters_;
  std::vector<Secret> secrets_;
  std::bitset<256> starts_;  // of all secrets
  std::size_t longest_ = 0;
};

}  // namespace tarnwick

#endif  // TARNWICK_BASE_SCRUB_H_
