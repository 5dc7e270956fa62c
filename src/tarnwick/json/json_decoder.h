// The reply decoder behind decode_json (json.cc): the Decoder that walks a
// body once, building the Nodes its guide wants and checking the rest by the
// same rules. Its scanning of texts is in json_text.cc, of numbers and words
// in json_scan.cc.
// Internal to json*.cc; nothing else may include it.
#ifndef TARNWICK_JSON_JSON_DECODER_H_
#define TARNWICK_JSON_JSON_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/base/value.h"
#include "tarnwick/json/json.h"
#include "tarnwick/json/json_guide.h"
#include "tarnwick/json/json_key_index.h"

namespace tarnwick {

// Node::size is 32 bits wide.
inline constexpr std::size_t kMaxSize =
    std::numeric_limits<std::uint32_t>::max();

constexpr bool is_json_space(unsigned char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

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

// A list or map that has been opened and not yet closed.
struct OpenContainer {
  bool is_map;
  std::size_t first;       // its first child in items_ or members_
  std::uint32_t key_hash;  // for a map with a KeyIndex: hash of the last key
  std::size_t opened_at;   // byte offset of its bracket
  int key_index;           // its KeyIndex in keys_, or -1
  Demand demand;           // of the container itself
  Demand pending;          // of its next child: of every item of a list, of
                           // the value of the last key of a map
  std::size_t skipped;     // items of a list left out
  std::uint64_t key_bits;  // for a small map: a bit per key seen (key_bit)
  // For a map: the shape of the last map closed at its depth, as long as its
  // keys so far are that shape's first keys, in order.
  const Shape* hint;
};

class Decoder {
 public:
  // Without a guide, everything is built. Texts, numbers and containers are
  // limited to max_size bytes, items or members.
  Decoder(Storage& storage, const DecodeGuide* guide,
          std::size_t max_size = kMaxSize);

  Node decode();

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw Error(ErrorKind::kInvalidReply, "reply is not JSON: " + what);
  }
  [[noreturn]] void fail_unexpected(const unsigned char* at,
                                    const char* context = "") const;
  [[noreturn]] void fail_escape(const unsigned char* p) const;
  [[noreturn]] void fail_number(const unsigned char* start,
                                const unsigned char* at) const;
  [[noreturn]] void fail_not_closed() const;
  [[noreturn]] void fail_control(const unsigned char* at) const {
    fail("raw control character " +
         quote_text(std::string_view(reinterpret_cast<const char*>(at), 1)) +
         " in a text" + at_byte(at));
  }
  std::size_t offset(const unsigned char* at) const {
    return static_cast<std::size_t>(at - begin_);
  }
  std::string at_byte(const unsigned char* at) const {
    return " at byte " + std::to_string(offset(at));
  }

  void skip_space() {
    while (p_ != end_ && is_json_space(*p_)) ++p_;
  }

  // keep = false checks the text without keeping an unescaped copy.
  Node decode_text(bool keep = true);
  Node decode_escaped_text(const unsigned char* start, const unsigned char* run,
                           bool keep);
  const unsigned char* scan_plain(const unsigned char* p) const;
  const unsigned char* scan_plain_noting(const unsigned char* p,
                                         bool& quoted) const;
  // keep = false checks the number without converting it.
  Node decode_number(bool keep = true);
  bool decode_word(Node& out);
  // The steps of the walk, one loop in decode(): called, they would cost
  // about as much as a value that is skipped.
  [[gnu::always_inline]] bool read_value(Demand demand, Node& value);
  [[gnu::always_inline]] bool complete_value(Node& value);
  [[gnu::always_inline]] void decode_key(OpenContainer& c);
  void open(bool is_map, Demand demand);
  Node close();
  Node close_map(const OpenContainer& c);
  const Shape* shape_of(const Member* members, std::size_t n);
  Node close_list(const OpenContainer& c);
  void add_value(OpenContainer& c, const Node& value);

  Arena& arena_;
  const unsigned char* const begin_;
  const unsigned char* p_;
  const unsigned char* const end_;
  const DecodeGuide* const guide_;
  const std::size_t max_size_;
  // Whether maps keep the keys of the members they leave out, so that their
  // size counts a repeated key once, as when everything is built.
  const bool count_skipped_keys_;

  // Children of all open containers, innermost last; reused for every
  // container so that no node costs a heap allocation of its own.
  std::vector<Node> items_;
  std::vector<Member> members_;
  std::vector<OpenContainer> open_;
  std::vector<KeyIndex> keys_;
  // The shape of the last map closed at each depth.
  std::vector<const Shape*> shape_hints_;
  std::size_t keys_in_use_ = 0;
  std::string scratch_;
};

}  // namespace tarnwick

#endif  // TARNWICK_JSON_JSON_DECODER_H_
