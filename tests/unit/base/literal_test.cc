#include "tarnwick/base/literal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tarnwick {
namespace {

TEST(LiteralTest, QuotesAndEscapesTexts) {
  struct Case {
    std::string text;
    std::string quoted;
  };
  const Case cases[] = {
      {"", "''"},
      {"up", "'up'"},
      {"it's", "\"it's\""},
      {"say \"hi\"", "'say \"hi\"'"},
      {"it's \"x\"", "'it\\'s \"x\"'"},
      {"a\\b", "'a\\\\b'"},
      {"\t\n\r", "'\\t\\n\\r'"},
      {std::string("\0\x1b\x7f", 3), "'\\x00\\x1b\\x7f'"},
      {"\xc2\x85|\xc2\xa0|\xc2\xad", "'\\x85|\\xa0|\\xad'"},  // Cc, Zs, Cf
      {"\xe2\x80\x8b\xe2\x80\xa8\xe3\x80\x80",
       "'\\u200b\\u2028\\u3000'"},                   // Cf, Zl, Zs
      {"\xee\x80\x80\xcd\xb8", "'\\ue000\\u0378'"},  // Co, Cn
      {"\xf4\x8f\xbf\xbf\xf3\xa0\x80\x81", "'\\U0010ffff\\U000e0001'"},
      {"\xed\xa0\xbd", "'\\ud83d'"},  // a lone surrogate from a reply
      {"\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80 \xe4\xb8\x80",
       "'\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80 \xe4\xb8\x80'"},
      {"x\xffy", "'x\\xffy'"},  // a byte that is no UTF-8
      // Long enough for the eight-byte steps, with the escape late in a step.
      {"abcdefghijklmno'", "\"abcdefghijklmno'\""},
      {"abcdefghijklmn\\", "'abcdefghijklmn\\\\'"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(quote_text(c.text), c.quoted) << c.quoted;
}

TEST(LiteralTest, FormatsRealsShortestWithPointOrExponent) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {2.5, "2.5"},
      {100.0, "100.0"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {1.5e-5, "1.5e-05"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e+16"},
      {1.2345e100, "1.2345e+100"},
      {-1.5e-10, "-1.5e-10"},
      {0.1, "0.1"},
      {1.0 / 3, "0.3333333333333333"},
      {123.456, "123.456"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "nan"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_real(c.value), c.text) << c.text;
}

}  // namespace
}  // namespace tarnwick
