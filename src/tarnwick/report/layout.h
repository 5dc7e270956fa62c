// The layout of the report printer: each value on the current line in its
// one-line form where that fits in the width, otherwise a container broken
// into one element per line and a text cut into pieces (text_split.h). Map
// members are written in key order (key_order.h).
#ifndef TARNWICK_REPORT_LAYOUT_H_
#define TARNWICK_REPORT_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tarnwick/base/output.h"
#include "tarnwick/base/value.h"
#include "tarnwick/report/key_order.h"
#include "tarnwick/report/text_split.h"

namespace tarnwick {

class Layout {
 public:
  // Writes to out, for lines of `width` columns (columns count code points).
  Layout(Output& out, std::size_t width) : out_(out), width_(width) {}
  Layout(const Layout&) = delete;
  Layout& operator=(const Layout&) = delete;

  // Writes root and one line end, in time linear in its size and without
  // recursion. Throws OutputError as out does. One Layout prints one value.
  void print(const Node& root);

 private:
  // A container broken across lines, one element per line.
  struct Open {
    const Node* node;
    std::size_t order;      // where its key order starts in key_order_, maps
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

  bool fits(const Node& v, std::uint64_t room);
  void place(const Node& v, std::size_t col, std::size_t allowance, bool top);
  void write_next_element();
  void write_scalar(const Node& v);
  void write_flat(const Node& v);
  void write_spaces(std::size_t n);
  void write_split(std::string_view s, std::size_t col, std::size_t allowance,
                   bool top);

  Output& out_;
  std::size_t width_;
  KeyOrder key_order_;
  std::vector<Walk> walk_;
  std::vector<Open> open_;
  std::vector<TextPiece> pieces_;
};

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_LAYOUT_H_
