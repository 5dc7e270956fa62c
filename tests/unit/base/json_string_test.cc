#include "tarnwick/base/json_string.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick {
namespace {

// The three ways of escaping differ only where a text is not plain
// printable UTF-8; each row is one such text, written all three ways.
TEST(JsonStringTest, EscapesByStyle) {
  struct Row {
    std::string_view text, value, message, path;
  };
  const Row rows[] = {
      {"a\"b\\c", R"("a\"b\\c")", R"("a\"b\\c")", R"("a\"b\\c")"},
      {"a\nb\t", R"("a\nb\t")", R"("a\nb\t")", R"("a\u000ab\u0009")"},
      {"\x01\x7f",
       R"("\u0001)"
       "\x7f\"",
       R"("\u0001)"
       "\x7f\"",
       R"("\u0001\u007f")"},
      {"Z\xc3\xbcrich", "\"Z\xc3\xbcrich\"", "\"Z\xc3\xbcrich\"",
       "\"Z\xc3\xbcrich\""},
      // U+2028, a zero-width space, a lone surrogate's 3-byte form, a tag
      // character past U+FFFF, a byte that is not UTF-8.
      {"\xe2\x80\xa8", R"("\u2028")", R"("\u2028")", R"("\u2028")"},
      {"\xe2\x80\x8b", "\"\xe2\x80\x8b\"", "\"\xe2\x80\x8b\"", R"("\u200b")"},
      {"\xed\xa0\x80", R"("\ud800")",
       "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"", R"("\ud800")"},
      {"\xf3\xa0\x80\x81", "\"\xf3\xa0\x80\x81\"", "\"\xf3\xa0\x80\x81\"",
       R"("\udb40\udc01")"},
      {"a\xff", "\"a\xef\xbf\xbd\"", "\"a\xef\xbf\xbd\"", "\"a\xff\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.path));
    std::string value, message, path;
    append_json_string(value, row.text, JsonEscapes::kValue);
    append_json_string(message, row.text, JsonEscapes::kMessage);
    append_json_string(path, row.text, JsonEscapes::kPath);
    EXPECT_EQ(value, row.value);
    EXPECT_EQ(message, row.message);
    EXPECT_EQ(path, row.path);
  }
}

TEST(JsonStringTest, ReadsEscapesAndStopsAtFaults) {
  struct Row {
    std::string_view rest;  // after the opening quote
    JsonStringFault fault;
    std::size_t pos;
    std::string_view text;
  };
  const Row rows[] = {
      {R"(a\"\\\/\b\f\n\r\t" tail)", JsonStringFault::kNone, 18,
       "a\"\\/\b\f\n\r\t"},
      {R"(\u00fc\ud83d\ude00\ud800x")", JsonStringFault::kNone, 26,
       "\xc3\xbc\xf0\x9f\x98\x80\xed\xa0\x80x"},
      {"abc", JsonStringFault::kNotClosed, 3, "abc"},
      {"ab\\", JsonStringFault::kNotClosed, 3, "ab"},
      {"a\tb\"", JsonStringFault::kControl, 1, "a"},
      {"a\xc3(\"", JsonStringFault::kBadUtf8, 1, "a"},
      {"a\xed\xa0\x80\"", JsonStringFault::kBadUtf8, 1, "a"},
      {R"(a\x")", JsonStringFault::kBadEscape, 1, "a"},
      {R"(a\u12")", JsonStringFault::kBadEscape, 1, "a"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.rest));
    std::string out;
    std::size_t pos = 0;
    EXPECT_EQ(read_json_string_rest(row.rest, pos, out), row.fault);
    EXPECT_EQ(pos, row.pos);
    EXPECT_EQ(out, row.text);
  }
}

}  // namespace
}  // namespace tarnwick
