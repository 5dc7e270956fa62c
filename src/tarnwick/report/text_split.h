// Cutting a text that does not fit on its line of the report into pieces,
// one for each line.
#ifndef TARNWICK_REPORT_TEXT_SPLIT_H_
#define TARNWICK_REPORT_TEXT_SPLIT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarnwick {

// A piece of a text: its bytes [begin, end), and whether its quoted form
// takes single quotes.
struct TextPiece {
  std::size_t begin;
  std::size_t end;
  bool single_quotes;
};

// Cuts s into pieces and puts them in order into `pieces` (replacing what
// was there): first after each line end (CR LF counting as one), then a line
// whose quoted form is wider than `room` columns after runs of white space
// into the longest pieces whose quoted forms are not. On the last line of s,
// `after` columns are kept free for what follows the text. A word wider than
// the room takes a piece of its own. Nothing for an empty s.
void split_text(std::string_view s, std::int64_t room, std::int64_t after,
                std::vector<TextPiece>& pieces);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_TEXT_SPLIT_H_
