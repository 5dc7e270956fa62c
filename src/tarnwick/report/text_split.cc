#include "tarnwick/report/text_split.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "tarnwick/base/quoting.h"
#include "tarnwick/base/text.h"

namespace tarnwick {

namespace {

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

void add_piece(std::size_t begin, std::size_t end, const TextStats& st,
               std::vector<TextPiece>& pieces) {
  pieces.push_back({begin, end, uses_single_quotes(st)});
}

// Cuts the line s[line, line_end) after runs of white space into the longest
// pieces that fit in `room` columns, `after` fewer at its end.
void split_line(std::string_view s, std::size_t line, std::size_t line_end,
                std::int64_t room, std::int64_t after,
                std::vector<TextPiece>& pieces) {
  std::size_t begin = line;  // of the piece being gathered
  TextStats piece;
  for (std::size_t word = line; word < line_end;) {
    TextStats word_stats;
    std::size_t word_end = scan_word(s, word, line_end, word_stats);
    std::int64_t limit = room - (word_end == line_end ? after : 0);
    TextStats joined = piece;
    joined += word_stats;
    if (static_cast<std::int64_t>(quoted_width(joined)) > limit &&
        word > begin) {
      add_piece(begin, word, piece, pieces);
      begin = word;
      piece = word_stats;
    } else {
      piece = joined;
    }
    word = word_end;
  }
  add_piece(begin, line_end, piece, pieces);
}

}  // namespace

void split_text(std::string_view s, std::int64_t room, std::int64_t after,
                std::vector<TextPiece>& pieces) {
  pieces.clear();
  for (std::size_t line = 0; line < s.size();) {
    const std::size_t line_end = find_line_end(s, line);
    const std::int64_t line_after = line_end == s.size() ? after : 0;
    TextStats line_stats = scan_text(s.substr(line, line_end - line));
    if (static_cast<std::int64_t>(quoted_width(line_stats)) <=
        room - line_after) {
      add_piece(line, line_end, line_stats, pieces);
    } else {
      split_line(s, line, line_end, room, line_after, pieces);
    }
    line = line_end;
  }
}

}  // namespace tarnwick
