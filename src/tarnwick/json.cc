#include "tarnwick/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "tarnwick/error.h"
#include "tarnwick/filter.h"
#include "tarnwick/notation.h"
#include "tarnwick/text.h"

namespace tarnwick {

namespace {

// Node::size is 32 bits wide.
constexpr std::size_t kMaxSize = std::numeric_limits<std::uint32_t>::max();
// Maps up to this many members look for a repeated key by a linear scan;
// larger ones keep a hash index of their keys.
constexpr std::size_t kLinearKeyScan = 32;

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

constexpr bool is_json_space(unsigned char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

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

// An index from key to member position for a large map under construction.
// Open addressing over (hash << 32 | position + 1); 0 marks a free slot.
class KeyIndex {
 public:
  // Indexes exactly the members of `members` (whose keys are distinct).
  void build(const Member* members, std::size_t n) {
    slots_.clear();
    grow(n * 2 + 16);
    for (std::size_t i = 0; i < n; ++i) {
      place(hash_of(members[i].name()), static_cast<std::uint32_t>(i));
    }
    count_ = n;
  }

  static std::uint32_t hash_of(std::string_view key) {
    std::size_t h = std::hash<std::string_view>{}(key);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }

  // Starts loading the slot where a lookup of hash h begins.
  void prefetch(std::uint32_t h) const {
    __builtin_prefetch(slots_.data() + (h & (slots_.size() - 1)));
  }

  // The position of the member of `members` with this key (hash h), or
  // inserts `position` for it and returns npos.
  std::size_t find_or_add(const Member* members, std::string_view key,
                          std::uint32_t h, std::size_t position) {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      std::uint64_t s = slots_[i];
      if (s == 0) break;
      if (static_cast<std::uint32_t>(s >> 32) == h) {
        std::size_t at = static_cast<std::uint32_t>(s) - 1;
        if (members[at].name() == key) return at;
      }
    }
    if ((count_ + 1) * 2 > slots_.size()) grow(slots_.size() * 2);
    place(h, static_cast<std::uint32_t>(position));
    ++count_;
    return std::string_view::npos;
  }

 private:
  void place(std::uint32_t h, std::uint32_t position) {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = (std::uint64_t{h} << 32) | (std::uint64_t{position} + 1);
  }

  void grow(std::size_t at_least) {
    std::size_t size = std::bit_ceil(std::max<std::size_t>(at_least, 64));
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(size, 0);
    for (std::uint64_t s : old) {
      if (s != 0)
        place(static_cast<std::uint32_t>(s >> 32),
              static_cast<std::uint32_t>(s) - 1);
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

// a == b, without a call for keys of 4 to 8 bytes, the common case.
inline bool same_key(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n < 4 || n > 8) return a == b;
  std::uint32_t a0, b0, a1, b1;
  std::memcpy(&a0, a.data(), 4);
  std::memcpy(&b0, b.data(), 4);
  std::memcpy(&a1, a.data() + n - 4, 4);
  std::memcpy(&b1, b.data() + n - 4, 4);
  return a0 == b0 && a1 == b1;
}

// What a filter list can reach of one value of a reply.
struct Demand {
  enum Mode : std::uint8_t {
    kNone,  // nothing: the value is checked and skipped
    kFull,  // all of it: it is part of the result
    kTop,   // expression `step` onwards is applied to the value itself
    kItem,  // expression `step` onwards is applied to a list's elements, and
            // the value is one of them
  };
  Mode mode = kFull;
  std::size_t step = 0;
};

// A filter list as the decoder needs it: which members of a map and which
// elements of a list its expressions can reach. It follows filter_results
// step by step; update both together.
class FilterPlan {
 public:
  // Points into filters, which must outlive the plan.
  explicit FilterPlan(const std::vector<std::string>& filters) {
    steps_.reserve(filters.size());
    for (std::string_view expression : filters) {
      Step step{expression, {}, 0};
      std::size_t start = 0;
      for (;;) {
        const std::size_t amp = expression.find('&', start);
        std::string_view key =
            trim_white_space(expression.substr(start, amp - start));
        ++step.pieces;
        if (std::find(step.keys.begin(), step.keys.end(), key) ==
            step.keys.end()) {
          step.keys.push_back(key);
        }
        if (amp == std::string_view::npos) break;
        start = amp + 1;
      }
      steps_.push_back(std::move(step));
    }
  }

  Demand root() const { return at(Demand::kTop, 0); }

  // The demand on each element of a list with demand `list`. A list that is
  // itself an element (kItem) only fails the lookup: its elements are never
  // looked at.
  Demand item(Demand list) const {
    if (list.mode == Demand::kTop) return at(Demand::kItem, list.step);
    if (list.mode == Demand::kFull) return list;
    return {Demand::kNone, 0};
  }

  // The demand on the value under `key` of a map with demand `map`.
  Demand member(Demand map, std::string_view key) const {
    if (map.mode == Demand::kFull || map.mode == Demand::kNone) return map;
    for (std::size_t step = map.step;;) {
      const Step& s = steps_[step];
      if (s.pieces == 1) {
        // A single-key expression looks the expression itself up in a map
        // that it is applied to, and its trimmed key in list elements.
        std::string_view wanted =
            map.mode == Demand::kTop ? s.expression : s.keys.front();
        if (!same_key(key, wanted)) return {Demand::kNone, 0};
        return at(map.mode, step + 1);
      }
      if (std::none_of(s.keys.begin(), s.keys.end(), [key](std::string_view k) {
            return same_key(k, key);
          })) {
        return {Demand::kNone, 0};
      }
      // The value goes into the map that the expression builds, and the next
      // expression is applied to that map as it was to this one.
      if (++step == steps_.size()) return {Demand::kFull, 0};
    }
  }

 private:
  struct Step {
    std::string_view expression;         // as given, for lookups in a map
    std::vector<std::string_view> keys;  // trimmed, distinct, in order
    std::size_t pieces;                  // keys counted with repeats
  };

  Demand at(Demand::Mode mode, std::size_t step) const {
    if (step == steps_.size()) return {Demand::kFull, 0};
    return {mode, step};
  }

  std::vector<Step> steps_;
};

// A list or map that has been opened and not yet closed.
struct OpenContainer {
  bool is_map;
  std::size_t first;       // its first child in items_ or members_
  std::uint32_t key_hash;  // for a map with a KeyIndex: hash of the last key
  std::size_t opened_at;   // byte offset of its bracket
  int key_index;           // its KeyIndex in keys_, or -1
  Demand demand;           // of the container (with a FilterPlan)
  Demand pending;          // of the value of the last key of a map
};

// Stands in for the first byte of a value that is skipped.
constexpr int kSkippedValue = -1;

// A container inside a value that is being skipped.
struct SkippedContainer {
  bool is_map;
  std::size_t children;
};

class Decoder {
 public:
  // With a plan, only what the plan's filter list can reach is built; the
  // rest of the body is checked as thoroughly and skipped.
  explicit Decoder(Storage& storage, const FilterPlan* plan = nullptr)
      : arena_(storage.arena),
        begin_(reinterpret_cast<const unsigned char*>(storage.body.data())),
        p_(begin_),
        end_(begin_ + storage.body.size()),
        plan_(plan) {}

  Node decode();

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw Error(ErrorKind::kInvalidReply, "reply is not JSON: " + what);
  }
  [[noreturn]] void fail_unexpected(const unsigned char* at,
                                    const char* context = "") const;
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
  // keep = false checks the number without converting it.
  Node decode_number(bool keep = true);
  bool decode_word(Node& out);
  void open(bool is_map, Demand demand);
  Node close();
  bool decode_key();
  void add_value(OpenContainer& c, const Node& value);
  Demand next_demand() const;
  void skip_value();
  void skip_key();

  Arena& arena_;
  const unsigned char* const begin_;
  const unsigned char* p_;
  const unsigned char* const end_;

  // Children of all open containers, innermost last; reused for every
  // container so that no node costs a heap allocation of its own.
  std::vector<Node> items_;
  std::vector<Member> members_;
  std::vector<OpenContainer> open_;
  std::vector<KeyIndex> keys_;
  std::size_t keys_in_use_ = 0;
  std::string scratch_;
  const FilterPlan* const plan_;
  std::vector<SkippedContainer> skipped_;
};

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

// The first byte at or after p that a plain scan stops at, or end_.
const unsigned char* Decoder::scan_plain(const unsigned char* p) const {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    while (end_ - p >= 8) {
      std::uint64_t x;
      std::memcpy(&x, p, 8);
      std::uint64_t quote = x ^ (kOnes * '"');
      std::uint64_t slash = x ^ (kOnes * '\\');
      // A byte's high bit is set where it is zero (quote, slash) or below
      // 0x20; bytes >= 0x80 are caught by x itself. Borrows only carry into
      // bytes above a true hit, so the lowest hit is exact.
      std::uint64_t hits = ((quote - kOnes) & ~quote) |
                           ((slash - kOnes) & ~slash) |
                           ((x - kOnes * 0x20) & ~x) | x;
      hits &= kHigh;
      if (hits != 0) return p + (std::countr_zero(hits) >> 3);
      p += 8;
    }
  }
  while (p != end_ && !kTextStop[*p]) ++p;
  return p;
}

Node Decoder::decode_text(bool keep) {
  const unsigned char* start = ++p_;  // past the opening quote
  const unsigned char* p = start;
  for (;;) {
    p = scan_plain(p);
    if (p == end_) fail("text opened" + at_byte(start - 1) + " is not closed");
    unsigned char c = *p;
    if (c == '"') break;
    if (c == '\\') return decode_escaped_text(start, p, keep);
    if (c < 0x20) fail_control(p);
    std::size_t n = utf8_sequence_length(p, end_);
    if (n == 0) fail("invalid UTF-8" + at_byte(p));
    p += n;
  }
  std::size_t size = static_cast<std::size_t>(p - start);
  if (size > kMaxSize)
    fail("text opened" + at_byte(start - 1) + " is too long");
  p_ = p + 1;
  return Node::text_of({reinterpret_cast<const char*>(start), size});
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
  if (scratch_.size() > kMaxSize)
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
    if (size > kMaxSize) fail("number" + at_byte(start) + " is too long");
    if (negative && size == 2 && start[1] == '0') return Node::whole_of("0");
    return Node::whole_of({reinterpret_cast<const char*>(start), size});
  }
  // Past its syntax, a number with fraction or exponent cannot fail.
  if (!keep) return Node();
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

void Decoder::open(bool is_map, Demand demand) {
  if (open_.size() == kMaxNesting) {
    throw Error(ErrorKind::kInvalidReply, "reply nests deeper than " +
                                              std::to_string(kMaxNesting) +
                                              " levels" + at_byte(p_));
  }
  open_.push_back({is_map, is_map ? members_.size() : items_.size(), 0,
                   offset(p_), -1, demand, Demand()});
  ++p_;
}

Node Decoder::close() {
  OpenContainer& c = open_.back();
  Node node;
  if (c.is_map) {
    std::size_t n = members_.size() - c.first;
    if (n > kMaxSize)
      fail("map opened at byte " + std::to_string(c.opened_at) +
           " is too large");
    Member* copy = nullptr;
    if (n != 0) {
      copy = arena_.allocate_array<Member>(n);
      std::memcpy(static_cast<void*>(copy), members_.data() + c.first,
                  n * sizeof(Member));
    }
    node = Node::map_of({copy, n});
    members_.resize(c.first);
    if (c.key_index >= 0) --keys_in_use_;
  } else {
    std::size_t n = items_.size() - c.first;
    if (n > kMaxSize)
      fail("list opened at byte " + std::to_string(c.opened_at) +
           " is too large");
    Node* copy = nullptr;
    if (n != 0) {
      copy = arena_.allocate_array<Node>(n);
      std::memcpy(static_cast<void*>(copy), items_.data() + c.first,
                  n * sizeof(Node));
    }
    node = Node::list_of({copy, n});
    items_.resize(c.first);
  }
  open_.pop_back();
  return node;
}

// Reads `"key" :` of the innermost map, with the white space after it, and
// adds a member for it; true then. With a plan, members whose values the
// filters cannot reach are stepped over here, key and value, until one they
// can reach; false when the map's members end first (p_ is then after the
// last of them). Whether the key repeats an earlier one is settled
// once the value is read (add_value), so that the hash slot it needs has
// been loaded meanwhile.
bool Decoder::decode_key() {
  if (p_ == end_) fail_not_closed();
  if (*p_ != '"') fail_unexpected(p_, ", expected a key");
  Node key = decode_text();
  OpenContainer& c = open_.back();
  if (plan_ != nullptr) {
    for (;;) {
      c.pending = plan_->member(c.demand, key.text());
      if (c.pending.mode != Demand::kNone) break;
      // No member is made: the value is skipped, and the next member read.
      skip_space();
      if (p_ == end_) fail_not_closed();
      if (*p_ != ':') fail_unexpected(p_, ", expected ':'");
      ++p_;
      skip_space();
      skip_value();
      skip_space();
      if (p_ == end_ || *p_ != ',') return false;
      ++p_;
      skip_space();
      if (p_ == end_) fail_not_closed();
      if (*p_ != '"') fail_unexpected(p_, ", expected a key");
      key = decode_text();
    }
  }
  std::size_t n = members_.size() - c.first;
  if (c.key_index < 0 && n >= kLinearKeyScan) {
    if (keys_in_use_ == keys_.size()) keys_.emplace_back();
    c.key_index = static_cast<int>(keys_in_use_++);
    keys_[c.key_index].build(members_.data() + c.first, n);
  }
  if (c.key_index >= 0) {
    c.key_hash = KeyIndex::hash_of(key.text());
    keys_[c.key_index].prefetch(c.key_hash);
  }
  members_.push_back({key, Node()});
  skip_space();
  if (p_ == end_) fail_not_closed();
  if (*p_ != ':') fail_unexpected(p_, ", expected ':'");
  ++p_;
  skip_space();
  return true;
}

// Gives the last member of the innermost map its value. A repeated key keeps
// its first place and takes the last value.
void Decoder::add_value(OpenContainer& c, const Node& value) {
  Member& last = members_.back();
  last.value = value;
  const Member* members = members_.data() + c.first;
  std::size_t n = members_.size() - 1 - c.first;
  std::size_t found = std::string_view::npos;
  if (c.key_index < 0) {
    std::string_view name = last.name();
    for (std::size_t i = 0; i < n; ++i) {
      if (members[i].key.size == last.key.size && members[i].name() == name) {
        found = i;
        break;
      }
    }
  } else {
    found = keys_[c.key_index].find_or_add(members, last.name(), c.key_hash, n);
  }
  if (found != std::string_view::npos) {
    members_[c.first + found].value = value;
    members_.pop_back();
  }
}

// The demand on the value that starts at p_ (with a plan only).
Demand Decoder::next_demand() const {
  if (open_.empty()) return plan_->root();
  const OpenContainer& c = open_.back();
  return c.is_map ? c.pending : plan_->item(c.demand);
}

// Reads `"key" :` and the white space after it, inside a skipped map.
void Decoder::skip_key() {
  if (p_ == end_ || *p_ != '"') fail_unexpected(p_, ", expected a key");
  decode_text(false);
  skip_space();
  if (p_ == end_ || *p_ != ':') fail_unexpected(p_, ", expected ':'");
  ++p_;
  skip_space();
}

// Steps over the value at p_, and the white space after it, checking it
// against every rule that decode() applies: the same texts, numbers, words,
// nesting limit and sizes are accepted. A failure may be worded differently
// (decode_json_filtered decodes again to report it). A map whose members,
// repeats included, pass the size limit fails here too: only decode() can
// tell whether repeats keep it within.
void Decoder::skip_value() {
  skipped_.clear();
  for (;;) {
    if (p_ == end_) fail("unexpected end" + at_byte(p_));
    switch (*p_) {
      case '{':
      case '[': {
        if (open_.size() + skipped_.size() >= kMaxNesting) {
          fail("nesting too deep" + at_byte(p_));
        }
        const bool is_map = *p_ == '{';
        ++p_;
        skip_space();
        if (p_ != end_ && *p_ == (is_map ? '}' : ']')) {
          ++p_;
          break;
        }
        skipped_.push_back({is_map, 0});
        if (is_map) skip_key();
        continue;
      }
      case '"':
        decode_text(false);
        break;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        decode_number(false);
        break;
      default: {
        Node word;
        if (!decode_word(word)) fail_unexpected(p_);
        break;
      }
    }
    // A value is complete: count it, then close what ends here.
    for (;;) {
      if (skipped_.empty()) return;
      SkippedContainer& c = skipped_.back();
      if (++c.children > kMaxSize) fail("container too large" + at_byte(p_));
      skip_space();
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        skip_space();
        if (c.is_map) skip_key();
        break;
      }
      if (p_ != end_ && *p_ == (c.is_map ? '}' : ']')) {
        ++p_;
        skipped_.pop_back();
        continue;
      }
      fail_unexpected(p_);
    }
  }
}

Node Decoder::decode() {
  if (end_ - p_ >= 3 && p_[0] == 0xEF && p_[1] == 0xBB && p_[2] == 0xBF)
    p_ += 3;
  if (p_ == end_) throw Error(ErrorKind::kInvalidReply, "reply is empty");
  skip_space();
  if (p_ == end_)
    throw Error(ErrorKind::kInvalidReply, "reply is only white space");
  for (;;) {
    // A value starts at p_.
    Node value;
    if (p_ == end_) fail_not_closed();  // only inside a container
    Demand demand;
    bool skipped = false;  // nothing of it goes into its container
    int start = *p_;
    if (plan_ != nullptr) {
      demand = next_demand();
      skipped = demand.mode == Demand::kNone;
      // A list element that is itself a list only fails a lookup: its kind
      // is all that is looked at.
      if (skipped || (demand.mode == Demand::kItem && start == '[')) {
        start = kSkippedValue;
      }
    }
    switch (start) {
      case kSkippedValue:
        skip_value();
        value = Node::list_of({});
        break;
      case '{':
        open(true, demand);
        skip_space();
        if (p_ != end_ && *p_ == '}') {
          ++p_;
          value = close();
          break;
        }
        if (!decode_key()) {
          skipped = true;  // every member was skipped: the map ends here
          break;
        }
        continue;
      case '[':
        open(false, demand);
        skip_space();
        if (p_ != end_ && *p_ == ']') {
          ++p_;
          value = close();
          break;
        }
        continue;
      case '"':
        value = decode_text();
        break;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        value = decode_number();
        break;
      default:
        if (!decode_word(value)) fail_unexpected(p_);
        break;
    }
    // The value is complete: hand it to its container, then close every
    // container that ends here.
    for (;;) {
      if (open_.empty()) {
        skip_space();
        if (p_ != end_) fail_unexpected(p_, " after the value");
        return value;
      }
      OpenContainer& c = open_.back();
      if (skipped) {
        skipped = false;
      } else if (c.is_map) {
        add_value(c, value);
      } else {
        items_.push_back(value);
      }
      skip_space();
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        skip_space();
        if (c.is_map && !decode_key()) {
          skipped = true;  // the rest of the map's members were skipped
          continue;
        }
        break;
      }
      if (p_ != end_ && *p_ == (c.is_map ? '}' : ']')) {
        ++p_;
        value = close();
        continue;
      }
      if (p_ == end_) fail_not_closed();
      fail_unexpected(
          p_, c.is_map ? ", expected ',' or '}'" : ", expected ',' or ']'");
    }
  }
}

}  // namespace

Value decode_json(std::string body) {
  auto storage = std::make_shared<Storage>();
  storage->body = std::move(body);
  Node root = Decoder(*storage).decode();
  return Value(std::move(storage), root);
}

Value decode_json_filtered(std::string body,
                           const std::vector<std::string>& filters) {
  if (filters.empty()) return decode_json(std::move(body));
  auto storage = std::make_shared<Storage>();
  storage->body = std::move(body);
  Node root;
  try {
    const FilterPlan plan(filters);
    root = Decoder(*storage, &plan).decode();
  } catch (const Error&) {
    // The full decode reports the failure in its own words, or, for a map
    // too large to tell, finds it within the limit after all.
    return filter_results(decode_json(std::move(storage->body)), filters);
  }
  return filter_results(Value(std::move(storage), root), filters);
}

}  // namespace tarnwick
