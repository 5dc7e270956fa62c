// The printer cuts a text too wide for its line into pieces.
#include <gtest/gtest.h>

#include <string>

#include "tarnwick/json/json.h"
#include "tarnwick/report/notation.h"

namespace tarnwick {
namespace {

std::string print(const std::string& json, std::size_t width = kReportWidth) {
  return pformat(decode_json(json).node(), width);
}

TEST(TextSplitTest, SplitsTextsAfterWhiteSpace) {
  std::string w(60, 'w');
  std::string words = w + " " + w + " " + w + " " + w;  // 243 characters
  struct Case {
    std::string json;
    std::string notation;
  };
  const Case cases[] = {
      // The whole result: pieces in parentheses, one column further right.
      {"\"" + words + "\"",
       "('" + w + " " + w + " " + w + " '\n '" + w + "')\n"},
      // Last in a list, then not last.
      {"[1, \"" + words + "\"]",
       "[1,\n '" + w + " " + w + " " + w + " '\n '" + w + "']\n"},
      {"[\"" + words + "\", 1]",
       "['" + w + " " + w + " " + w + " '\n '" + w + "',\n 1]\n"},
      // A map value continues in the column after the key.
      {"{\"key\": \"" + words + "\"}",
       "{'key': '" + w + " " + w + " " + w + " '\n        '" + w + "'}\n"},
      // Each piece picks its own quotes.
      {"\"" + w + "'s " + w + " " + w + " " + w + "\"",
       "(\"" + w + "'s " + w + " " + w + " \"\n '" + w + "')\n"},
      // One word longer than the line: no split, no parentheses.
      {"\"" + std::string(250, 'z') + "\"",
       "'" + std::string(250, 'z') + "'\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(print(c.json), c.notation) << c.json;
}

TEST(TextSplitTest, SplitsTextsAtEveryKindOfLineEnd) {
  // Narrow lines show every cut; pieces keep their line ends.
  struct Case {
    std::string json;
    std::string notation;
  };
  const Case cases[] = {
      {R"("aaaa\r\nbbbb\rcccc\ndddd")",
       "('aaaa\\r\\n'\n 'bbbb\\r'\n 'cccc\\n'\n 'dddd')\n"},
      {R"("aaaa\u000bbbbb\u000ccccc\u001cdddd")",
       "('aaaa\\x0b'\n 'bbbb\\x0c'\n 'cccc\\x1c'\n 'dddd')\n"},
      {R"("aaaa\u0085bbbb\u2028cccc\u2029dddd")",
       "('aaaa\\x85'\n 'bbbb\\u2028'\n 'cccc\\u2029'\n 'dddd')\n"},
      // U+001F and U+00A0 end no line but end words.
      {R"("aaaa\u001fbbbb\u00a0cccc\u3000dddd")",
       "('aaaa\\x1f'\n 'bbbb\\xa0'\n 'cccc\\u3000'\n 'dddd')\n"},
      // Words that fit together share a piece.
      {R"("aa bb cc dd ee ff gg")", "('aa bb cc '\n 'dd ee ff '\n 'gg')\n"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(print(c.json, 14), c.notation) << c.json;
}

}  // namespace
}  // namespace tarnwick
