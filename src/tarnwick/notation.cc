#include "tarnwick/notation.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/quoting.h"
#include "tarnwick/text.h"

namespace tarnwick {

namespace {

// ---------------------------------------------------------------------------
// Text splitting

// The end of the line that starts at s[pos]: just after the next line end
// (CR LF counting as one), or the end of s.
std::size_t find_line_end(std::string_view s, std::size_t pos) {
  static constexpr auto kMayEndLine = [] {
    std::array<bool, 256> t{};
    for (unsigned char b :
         {'\r', '\n', '\v', '\f', '\x1c', '\x1d', '\x1e', '\xc2', '\xe2'})
      t[b] = true;
    return t;
  }();
  const std::size_t n = s.size();
  for (; pos < n; ++pos) {
    auto b = static_cast<unsigned char>(s[pos]);
    if (!kMayEndLine[b]) continue;
    switch (b) {
      case '\r':
        return pos + 1 < n && s[pos + 1] == '\n' ? pos + 2 : pos + 1;
      case '\n':
      case '\v':
      case '\f':
      case 0x1C:
      case 0x1D:
      case 0x1E:
        return pos + 1;
      case 0xC2:  // U+0085
        if (pos + 1 < n && static_cast<unsigned char>(s[pos + 1]) == 0x85)
          return pos + 2;
        break;
      case 0xE2:  // U+2028, U+2029
        if (pos + 2 < n && static_cast<unsigned char>(s[pos + 1]) == 0x80 &&
            (static_cast<unsigned char>(s[pos + 2]) & 0xFE) == 0xA8) {
          return pos + 3;
        }
        break;
      default:
        break;
    }
  }
  return n;
}

// Reads one word of s[pos, end): a run of characters that are not white
// space, then a run of white space. Returns its end and adds its cost to st.
std::size_t scan_word(std::string_view s, std::size_t pos, std::size_t end,
                      TextStats& st) {
  bool in_space = false;
  while (pos < end) {
    auto b = static_cast<unsigned char>(s[pos]);
    if (b < 0x80) {
      std::uint8_t cost = kAsciiCost[b];
      bool space = (cost & kSpaceBit) != 0;
      if (!space && in_space) break;
      in_space = space;
      add_ascii(cost, st);
      ++pos;
      continue;
    }
    Decoded d = decode_at(s, pos);
    bool space = d.ok && is_white_space(d.c);  // a stray byte is no space
    if (!space && in_space) break;
    in_space = space;
    pos += add_non_ascii(s, pos, st);
  }
  return pos;
}

// ---------------------------------------------------------------------------
// Layout

class Printer {
 public:
  Printer(Output& out, std::size_t width) : out_(out), width_(width) {}

  void print(const Node& root) {
    place(root, 0, 0, true);
    while (!open_.empty()) write_next_element();
    out_.put('\n');
  }

 private:
  // A container broken across lines, one element per line.
  struct Open {
    const Node* node;
    std::size_t order;      // offset of its members by key in order_, maps
    std::uint32_t next;     // the element to write next
    std::size_t indent;     // column of the elements
    std::size_t allowance;  // characters after the last element
  };

  // A container being measured or written on one line.
  struct Walk {
    const Node* node;
    std::size_t order;  // as in Open, when written
    std::uint32_t next;
  };

  static bool is_container(const Node& v) { return v.is_list() || v.is_map(); }

  // Columns of the brackets and separators of a container's one-line form.
  static std::uint64_t frame_length(const Node& v) {
    return 2 + (v.size ? 2 * (v.size - std::uint64_t{1}) : 0);
  }

  // ----- Measuring

  // Whether the one-line form of v takes at most `room` columns. The walk
  // stops as soon as the answer is no, so a container that is broken anyway
  // costs no more than about a line's worth of its elements, and nothing is
  // kept of it: each container is measured once, when it is placed.
  bool fits(const Node& v, std::uint64_t room) {
    if (!is_container(v)) return scalar_length(v, room) <= room;
    std::uint64_t used = frame_length(v);
    if (used > room) return false;
    walk_.clear();
    walk_.push_back({&v, 0, 0});
    while (!walk_.empty()) {
      Walk& w = walk_.back();
      const Node& c = *w.node;
      if (w.next == c.size) {
        walk_.pop_back();
        continue;
      }
      const std::uint32_t i = w.next++;
      const Node* child = &c.items[i];
      if (c.is_map()) {
        used += text_length(c.members[i].name(), room - used) + 2;
        if (used > room) return false;
        child = &c.members[i].value;
      }
      if (is_container(*child)) {
        used += frame_length(*child);
        if (used > room) return false;
        walk_.push_back({child, 0, 0});  // w is invalid from here on
      } else {
        used += scalar_length(*child, room - used);
        if (used > room) return false;
      }
    }
    return true;
  }

  // The one-line length of a scalar, or for a text one past `limit` once it
  // is known to be longer.
  static std::uint64_t scalar_length(const Node& v, std::uint64_t limit) {
    switch (v.kind) {
      case Kind::kNull:
      case Kind::kTrue:
        return 4;
      case Kind::kFalse:
        return 5;
      case Kind::kWhole:
        return v.size;
      case Kind::kReal: {
        char buf[kRealBuffer];
        return format_real_into(v.real, buf);
      }
      case Kind::kText:
        return text_length(v.text(), limit);
      default:
        return 0;
    }
  }

  // The quoted width of s, or one past `limit` once it is known to be wider.
  static std::uint64_t text_length(std::string_view s, std::uint64_t limit) {
    TextStats st;
    if (!scan_text_within(s, limit, st)) return limit + 1;
    return quoted_width(st);
  }

  // ----- Writing

  // Puts the members of map v in key order on top of order_ and returns
  // where they start; nothing for a list. Popped when v is done.
  std::size_t push_key_order(const Node& v) {
    const std::size_t start = order_.size();
    if (!v.is_map()) return start;
    // The maps of a list mostly have the same keys in the same order: such a
    // map takes over the key order of the last map sorted.
    if (v.size >= kCachedOrderSize && has_cached_keys(v)) {
      order_.insert(order_.end(), cached_order_.begin(), cached_order_.end());
      return start;
    }
    for (std::uint32_t i = 0; i < v.size; ++i) order_.push_back(i);
    auto first = order_.begin() + static_cast<std::ptrdiff_t>(start);
    // Byte order of UTF-8 is code point order (string_view compares bytes
    // as unsigned); keys of a map are distinct.
    auto by_key = [&v](std::uint32_t a, std::uint32_t b) {
      std::string_view x = v.members[a].name();
      std::string_view y = v.members[b].name();
      if (!x.empty() && !y.empty() && x[0] != y[0]) {
        return static_cast<unsigned char>(x[0]) <
               static_cast<unsigned char>(y[0]);
      }
      return x < y;
    };
    if (!std::is_sorted(first, order_.end(), by_key))
      std::sort(first, order_.end(), by_key);
    if (v.size >= kCachedOrderSize) {
      cached_keys_.clear();
      for (const Member& m : v.map()) cached_keys_.push_back(m.name());
      cached_order_.assign(first, order_.end());
    }
    return start;
  }

  // Whether map v has the keys of the last map sorted, in the same order.
  bool has_cached_keys(const Node& v) const {
    if (v.size != cached_keys_.size()) return false;
    for (std::uint32_t i = 0; i < v.size; ++i) {
      if (v.members[i].name() != cached_keys_[i]) return false;
    }
    return true;
  }

  // Writes v starting at column col, with `allowance` characters following
  // it on its last line; top is true for the whole result.
  void place(const Node& v, std::size_t col, std::size_t allowance, bool top) {
    if (v.is_text()) {
      std::string_view s = v.text();
      // No character takes more than four columns per byte (\xNN), so a
      // short text fits without a closer look.
      if (col + 4 * std::uint64_t{s.size()} + 2 + allowance <= width_) {
        write_text(out_, s);
        return;
      }
      TextStats st = scan_text(s);
      if (col + quoted_width(st) + allowance <= width_) {
        write_quoted(out_, s, uses_single_quotes(st));
      } else {
        write_split(s, col, allowance, top);
      }
      return;
    }
    if (!is_container(v)) {
      write_scalar(v);
      return;
    }
    if (col + allowance <= width_ && fits(v, width_ - col - allowance)) {
      write_flat(v);
      return;
    }
    out_.put(v.is_list() ? '[' : '{');
    if (v.size == 0) {
      out_.put(v.is_list() ? ']' : '}');
      return;
    }
    open_.push_back({&v, push_key_order(v), 0, col + 1, allowance + 1});
  }

  // Writes the next element of the innermost broken container, or its
  // closing bracket.
  void write_next_element() {
    Open& o = open_.back();
    const Node& v = *o.node;
    if (o.next == v.size) {
      out_.put(v.is_list() ? ']' : '}');
      order_.resize(o.order);
      open_.pop_back();
      return;
    }
    std::uint32_t i = o.next++;
    if (i > 0) {
      out_.write(",\n");
      write_spaces(o.indent);
    }
    std::size_t allowance = i + 1 == v.size ? o.allowance : 1;
    std::size_t col = o.indent;
    if (v.is_list()) {
      place(v.items[i], col, allowance, false);  // o is invalid from here on
      return;
    }
    const Member& m = v.members[order_[o.order + i]];
    std::string_view key = m.name();
    std::uint64_t key_width;
    if (is_plain_text(key)) {
      // One column a byte, and the quotes.
      key_width = key.size() + 2;
      out_.put('\'');
      out_.write(key);
      out_.put('\'');
    } else {
      TextStats st = scan_text(key);
      key_width = quoted_width(st);
      write_quoted(out_, key, uses_single_quotes(st));
    }
    out_.write(": ");
    place(m.value, col + key_width + 2, allowance, false);
  }

  void write_scalar(const Node& v) {
    switch (v.kind) {
      case Kind::kNull:
        out_.write("None");
        break;
      case Kind::kFalse:
        out_.write("False");
        break;
      case Kind::kTrue:
        out_.write("True");
        break;
      case Kind::kWhole:
        out_.write(v.text());
        break;
      case Kind::kReal: {
        char buf[kRealBuffer];
        out_.write(std::string_view(buf, format_real_into(v.real, buf)));
        break;
      }
      case Kind::kText:
        write_text(out_, v.text());
        break;
      default:
        break;
    }
  }

  // Writes container v in one-line form.
  void write_flat(const Node& v) {
    out_.put(v.is_list() ? '[' : '{');
    walk_.clear();
    walk_.push_back({&v, push_key_order(v), 0});
    while (!walk_.empty()) {
      Walk& w = walk_.back();
      const Node& c = *w.node;
      if (w.next == c.size) {
        out_.put(c.is_list() ? ']' : '}');
        order_.resize(w.order);
        walk_.pop_back();
        continue;
      }
      std::uint32_t i = w.next++;
      if (i > 0) out_.write(", ");
      const Node* child = &c.items[i];
      if (c.is_map()) {
        const Member& m = c.members[order_[w.order + i]];
        write_text(out_, m.name());
        out_.write(": ");
        child = &m.value;
      }
      if (!is_container(*child)) {
        write_scalar(*child);
        continue;
      }
      out_.put(child->is_list() ? '[' : '{');
      walk_.push_back({child, push_key_order(*child), 0});  // w is invalid
    }
  }

  void write_spaces(std::size_t n) {
    static constexpr std::string_view kSpaces =
        "                                                                ";
    for (; n > kSpaces.size(); n -= kSpaces.size()) out_.write(kSpaces);
    out_.write(kSpaces.substr(0, n));
  }

  // Writes a text that does not fit as pieces, one per line, each starting
  // at column col: first cut after each line end, then a line that still does
  // not fit cut after runs of white space into the longest pieces that do.
  // The whole result is put in parentheses.
  void write_split(std::string_view s, std::size_t col, std::size_t allowance,
                   bool top) {
    if (s.empty()) {
      out_.write("''");
      return;
    }
    if (top) ++col, ++allowance;
    const auto room =
        static_cast<std::int64_t>(width_) - static_cast<std::int64_t>(col);
    const auto after = static_cast<std::int64_t>(allowance);
    Pieces pieces{*this, s, col, top};
    for (std::size_t line = 0; line < s.size();) {
      std::size_t line_end = find_line_end(s, line);
      bool last_line = line_end == s.size();
      TextStats line_stats = scan_text(s.substr(line, line_end - line));
      if (static_cast<std::int64_t>(quoted_width(line_stats)) <=
          room - (last_line ? after : 0)) {
        pieces.add(line, line_end, line_stats);
        line = line_end;
        continue;
      }
      std::size_t begin = line;  // of the piece being gathered
      TextStats piece;
      for (std::size_t word = line; word < line_end;) {
        TextStats word_stats;
        std::size_t word_end = scan_word(s, word, line_end, word_stats);
        std::int64_t limit =
            room - (last_line && word_end == line_end ? after : 0);
        TextStats joined = piece;
        joined += word_stats;
        if (static_cast<std::int64_t>(quoted_width(joined)) > limit &&
            word > begin) {
          pieces.add(begin, word, piece);
          begin = word;
          piece = word_stats;
        } else {
          piece = joined;
        }
        word = word_end;
      }
      pieces.add(begin, line_end, piece);
      line = line_end;
    }
    pieces.finish();
  }

  // The pieces of a split text, written as they come; the first waits until
  // a second shows that the text does break after all.
  struct Pieces {
    Printer& p;
    std::string_view s;
    std::size_t col;
    bool top;
    std::size_t count = 0;
    std::size_t first_end = 0;
    bool first_single = true;

    void add(std::size_t begin, std::size_t end, const TextStats& st) {
      if (count++ == 0) {
        first_end = end;
        first_single = uses_single_quotes(st);
        return;
      }
      if (count == 2) {
        if (top) p.out_.put('(');
        write_quoted(p.out_, s.substr(0, first_end), first_single);
      }
      p.out_.put('\n');
      p.write_spaces(col);
      write_quoted(p.out_, s.substr(begin, end - begin),
                   uses_single_quotes(st));
    }

    void finish() {
      if (count == 1) {
        write_quoted(p.out_, s, first_single);
      } else if (top) {
        p.out_.put(')');
      }
    }
  };

  Output& out_;
  std::size_t width_;
  // Members by key of the maps being written, innermost last.
  std::vector<std::uint32_t> order_;
  // Smaller maps are sorted afresh: that costs about what a comparison with
  // the cached keys would.
  static constexpr std::uint32_t kCachedOrderSize = 6;
  // The keys, in member order, and the key order of the last map of at least
  // kCachedOrderSize members that was sorted. The keys point into the value
  // being printed.
  std::vector<std::string_view> cached_keys_;
  std::vector<std::uint32_t> cached_order_;
  std::vector<Walk> walk_;
  std::vector<Open> open_;
};

}  // namespace

void pp(const Node& v, Output& out, std::size_t width) {
  Printer printer(out, width);
  printer.print(v);
}

std::string pformat(const Node& v, std::size_t width) {
  Output out(-1);
  pp(v, out, width);
  return out.text();
}

}  // namespace tarnwick
