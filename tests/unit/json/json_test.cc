#include "tarnwick/json/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/json/json_guide.h"
#include "tarnwick/report/notation.h"
#include "test_util.h"

namespace tarnwick {
namespace {

std::string message_of(const std::string& body) {
  try {
    decode_json(body);
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kInvalidReply) << body;
    return e.what();
  }
  return "<decoded>";
}

// Wants every member whose key starts with "k" and every element of a list
// (in part); of a list in a list, no element. With Demand::none() as its
// root, nothing at all.
class KeyPrefixGuide final : public DecodeGuide {
 public:
  explicit KeyPrefixGuide(Demand root) : root_(root) {}
  Demand root() const override { return root_; }
  Demand item(Demand list) const override {
    return list.state() == 0 ? Demand::part(1) : Demand::none();
  }
  Demand member(Demand, std::string_view key) const override {
    return key.starts_with("k") ? Demand::part(0) : Demand::none();
  }

 private:
  Demand root_;
};

const KeyPrefixGuide kSomeGuide(Demand::part(0));
const KeyPrefixGuide kNoneGuide(Demand::none());

// The message of a guided decode, or of any decode with a lower size limit.
std::string message_of(const std::string& body, const DecodeGuide* guide,
                       std::size_t max_size = std::size_t{1} << 32) {
  try {
    if (max_size > std::size_t{1} << 31) {
      guide != nullptr ? decode_json(body, *guide) : decode_json(body);
    } else {
      decode_json_for_test(body, guide, max_size);
    }
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kInvalidReply) << body;
    return e.what();
  }
  return "<decoded>";
}

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonTest, GoldenBodiesDecode) {
  // Each line is itself JSON, so the decoder reads its own test data.
  const std::vector<Value>& records = golden_table_for_test("notation");
  for (const Value& record : records) {
    const Node& r = record.node();
    EXPECT_NO_THROW(decode_json(golden_text_for_test(r, "json")))
        << golden_text_for_test(r, "id");
  }
  EXPECT_GT(records.size(), 400u);
}

TEST(JsonTest, EquivalentBodiesDecodeAlike) {
  struct Case {
    std::string body;
    std::string same_as;
  };
  const Case cases[] = {
      // Members keep their order; a repeated key keeps its first place and
      // takes the last value.
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"a":1,"a":2,"a":[3]})", R"({"a":[3]})"},
      {R"({"a":[1],"b":0,"a":{"x":1,"x":2}})", R"({"a":{"x":2},"b":0})"},
      {R"({"a":{"a":1,"a":2},"a":3})", R"({"a":3})"},
      {R"({"z":1,"a":2,"m":{"y":1,"b":2},"z":9,"b":3})",
       R"({"z":9,"a":2,"m":{"y":1,"b":2},"b":3})"},
      // Keys compare after unescaping.
      {R"({"a":1,"\u0061":2})", R"({"a":2})"},
      {R"({"é":1,"\u00e9":2,"e":3})", R"({"é":2,"e":3})"},
      {R"({"":1,"":2})", R"({"":2})"},
      {" \t\r\n[ 1 , { \"a\" : null } ]\r\n", R"([1,{"a":null}])"},
      {"\xEF\xBB\xBF{}", "{}"},
      {"\xEF\xBB\xBF \"x\"", R"("x")"},
  };
  for (const Case& c : cases) {
    Value got = decode_json(c.body);
    Value want = decode_json(c.same_as);
    EXPECT_TRUE(same_value(got.node(), want.node())) << c.body;
  }
}

TEST(JsonTest, LargeMapsFindRepeatedKeys) {
  // Past a few dozen members repeated keys are found through a hash index;
  // repeats both before and after that point must land on the first place.
  for (int size : {31, 32, 33, 40, 1000}) {
    std::string body = "{";
    for (int i = 0; i < size; ++i)
      body += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    body += "\"k5\":\"again\",\"k" + std::to_string(size - 1) +
            "\":\"last\",\"k5\":\"final\"}";
    Value v = decode_json(body);
    ASSERT_EQ(v.node().size, static_cast<std::uint32_t>(size)) << size;
    EXPECT_EQ(v.node().map()[5].name(), "k5");
    EXPECT_EQ(v.node().map()[5].value.text(), "final");
    EXPECT_EQ(v.node().map()[size - 1].value.text(), "last");
    EXPECT_EQ(v.node().map()[size - 2].value.text(), std::to_string(size - 2));
  }
}

TEST(JsonTest, NestedLargeMapsKeepTheirOwnKeys) {
  // Two large maps open at once, the inner one sharing every key of the
  // outer one: neither may see the other's keys as repeats.
  std::string members;
  for (int i = 0; i < 100; ++i)
    members += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  std::string body = "{" + members + "\"inner\":{" + members + "\"k0\":-1}," +
                     members + "\"x\":[{" + members + "\"y\":0}]}";
  Value v = decode_json(body);
  const Node& outer = v.node();
  ASSERT_EQ(outer.size, 102u);
  EXPECT_EQ(outer.map()[100].name(), "inner");
  EXPECT_EQ(outer.map()[100].value.size, 100u);
  EXPECT_EQ(outer.map()[100].value.map()[0].value.text(), "-1");
  EXPECT_EQ(outer.map()[101].name(), "x");
  EXPECT_EQ(outer.map()[101].value.items[0].size, 101u);
}

TEST(JsonTest, WholeNumbersKeepTheirDigits) {
  const std::string huge(5000, '7');
  struct Case {
    std::string body;
    std::string digits;
  };
  const Case cases[] = {
      {"0", "0"},
      {"-0", "0"},
      {" -0 ", "0"},
      {"5", "5"},
      {"-12", "-12"},
      {"18446744073709551616", "18446744073709551616"},
      {"-99999999999999999999999999", "-99999999999999999999999999"},
      {huge, huge},
      {"-" + huge, "-" + huge},
  };
  for (const Case& c : cases) {
    Value v = decode_json(c.body);
    EXPECT_EQ(v.kind(), Kind::kWhole) << c.body;
    EXPECT_EQ(v.node().text(), c.digits) << c.body;
  }
  Value list = decode_json("[-0,0,-0]");
  for (const Node& n : list.node().list()) EXPECT_EQ(n.text(), "0");
}

TEST(JsonTest, OtherNumbersAreDoubles) {
  const double inf = std::numeric_limits<double>::infinity();
  const double min_denormal = std::numeric_limits<double>::denorm_min();
  struct Case {
    std::string body;
    double value;
  };
  const Case cases[] = {
      {"5.0", 5.0},
      {"5e0", 5.0},
      {"1E2", 100.0},
      {"1e+2", 100.0},
      {"-2.5e-1", -0.25},
      {"0.1", 0.1},
      {"0.0", 0.0},
      {"-0.0", -0.0},
      {"-0e5", -0.0},
      {"9999999999999999.0", 1e16},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"1e400", inf},
      {"-1e400", -inf},
      {"1.7976931348623159e308", inf},
      {"1000e306", inf},
      {"0.0001e310", 1e306},
      {"1e99999999999999999999999", inf},
      {"-1e99999999999999999999999", -inf},
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"100000e-330", 0.0},
      {"0.00000001e-320", 0.0},
      {"-0.00000001e-320", -0.0},
      {"1e-99999999999999999999999", 0.0},
      {"0e99999999999", 0.0},
      {"4.9e-324", min_denormal},
      {"2.4703282292062328e-324", min_denormal},
      {"-2.4703282292062328e-324", -min_denormal},
      {"2.4703282292062327e-324", 0.0},
      {"1e-320", 1e-320},
      {"Infinity", inf},
      {"-Infinity", -inf},
  };
  for (const Case& c : cases) {
    Value v = decode_json(c.body);
    ASSERT_EQ(v.kind(), Kind::kReal) << c.body;
    EXPECT_EQ(v.node().number(), c.value) << c.body;
    EXPECT_EQ(std::signbit(v.node().number()), std::signbit(c.value)) << c.body;
  }
  Value nan = decode_json(" NaN ");
  ASSERT_EQ(nan.kind(), Kind::kReal);
  EXPECT_TRUE(std::isnan(nan.node().number()));
}

TEST(JsonTest, DoublesRoundLikeFromChars) {
  // Short numbers take a shortcut past from_chars; both must agree bit for
  // bit, on either side of the shortcut's limits (19 digits, 2^53, 1e22).
  std::uint64_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return seed >> 33;
  };
  for (int i = 0; i < 20000; ++i) {
    // Sign, up to 21 digits with a point anywhere (or none), an exponent.
    std::string body = next() % 2 ? "-" : "";
    std::size_t length = next() % 21 + 1;
    std::size_t point = next() % (length + 1);
    if (point == 0) body += "0.";
    for (std::size_t d = 0; d < length; ++d) {
      if (d == point && d != 0) body += '.';
      body += static_cast<char>(d == 0 ? '1' + next() % 9 : '0' + next() % 10);
    }
    if (point == length || next() % 2 == 0) {
      body += next() % 2 ? 'e' : 'E';
      body += std::to_string(static_cast<int>(next() % 61) - 30);
    }
    double want = 0;
    std::from_chars(body.data(), body.data() + body.size(), want);
    Value v = decode_json(body);
    ASSERT_EQ(v.kind(), Kind::kReal) << body;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(v.node().number()),
              std::bit_cast<std::uint64_t>(want))
        << body;
  }
}

TEST(JsonTest, TextsDecode) {
  struct Case {
    std::string body;
    std::string text;
    bool in_body;  // no escape: the text points into the body
  };
  const Case cases[] = {
      {R"("plain")", "plain", true},
      {R"("")", "", true},
      {"\"caf\xC3\xA9 \xF0\x9F\x98\x80 \xEF\xBF\xBF\"",
       "caf\xC3\xA9 \xF0\x9F\x98\x80 \xEF\xBF\xBF", true},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t", false},
      {R"("a\u0000b")", std::string("a\0b", 3), false},
      {R"("\u00e9\u00C9\u20ac\uFFFF")",
       "\xC3\xA9\xC3\x89\xE2\x82\xAC\xEF\xBF\xBF", false},
      {"\"\xC3\xA9\\n\xE2\x82\xAC\"", "\xC3\xA9\n\xE2\x82\xAC", false},
      // Surrogate pairs combine; any other surrogate escape stays as it is.
      {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80", false},
      {R"("\ud83d\ude00x")", "\xF0\x9F\x98\x80x", false},
      {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF", false},
      {R"("\uD83D")", "\xED\xA0\xBD", false},
      {R"("\uDE00")", "\xED\xB8\x80", false},
      {R"("\uDE00\uD83D")", "\xED\xB8\x80\xED\xA0\xBD", false},
      {R"("\uD83Dx")", "\xED\xA0\xBDx", false},
      {R"("\uD83D\u0041")",
       "\xED\xA0\xBD"
       "A",
       false},
      {R"("\uD83D\n")", "\xED\xA0\xBD\n", false},
      {R"("\uD83D\uD83D\uDE00")", "\xED\xA0\xBD\xF0\x9F\x98\x80", false},
  };
  for (const Case& c : cases) {
    Value v = decode_json(c.body);
    ASSERT_EQ(v.kind(), Kind::kText) << c.body;
    EXPECT_EQ(v.node().text(), c.text) << c.body;
    const std::string& body = v.storage()->body;
    bool in_body =
        v.node().size == 0 || (v.node().chars >= body.data() &&
                               v.node().chars < body.data() + body.size());
    EXPECT_EQ(in_body, c.in_body) << c.body;
  }
}

TEST(JsonTest, TextScanFindsStopsAtEveryOffset) {
  // The text scan reads eight bytes at a time; a stop byte must be found
  // wherever it falls in such a word, also right after another one.
  for (std::size_t length = 0; length < 20; ++length) {
    for (std::size_t at = 0; at <= length; ++at) {
      std::string base(length, 'a');
      std::string plain = base;
      plain.insert(at, "\xC3\xA9");
      EXPECT_EQ(decode_json("\"" + plain + "\"").node().text(), plain);
      std::string escaped = base;
      escaped.insert(at, "\\\"");
      std::string unescaped = base;
      unescaped.insert(at, "\"");
      EXPECT_EQ(decode_json("\"" + escaped + "\"").node().text(), unescaped);
      for (char stop : {'\x01', '\x1F', '\n'}) {
        std::string bad = base;
        bad.insert(at, 1, stop);
        EXPECT_EQ(message_of("\"" + bad + "\""),
                  "reply is not JSON: raw control character " +
                      quote_text(std::string(1, stop)) + " in a text at byte " +
                      std::to_string(at + 1));
      }
      std::string invalid = base;
      invalid.insert(at, "\xFF");
      EXPECT_EQ(
          message_of("\"" + invalid + "\""),
          "reply is not JSON: invalid UTF-8 at byte " + std::to_string(at + 1));
      // Bytes just around the stop values pass.
      std::string edge = base;
      edge.insert(at, " !#[]~\x7F");
      EXPECT_EQ(decode_json("\"" + edge + "\"").node().text(), edge);
    }
  }
}

TEST(JsonTest, NestingUpToTheLimitDecodes) {
  Value lists = decode_json(nested(kMaxNesting));
  const Node* n = &lists.node();
  std::size_t depth = 0;
  while (n->is_list() && n->size == 1) {
    n = &n->items[0];
    ++depth;
  }
  EXPECT_EQ(depth + 1, kMaxNesting);

  std::string maps;
  for (std::size_t i = 0; i < kMaxNesting; ++i) maps += "{\"a\":";
  maps += "1" + std::string(kMaxNesting, '}');
  EXPECT_NO_THROW(decode_json(maps));
}

TEST(JsonTest, NestingBeyondTheLimitFails) {
  const std::string too_deep =
      "reply nests deeper than 10000 levels at byte 10000";
  EXPECT_EQ(message_of(nested(kMaxNesting + 1)), too_deep);
  // Unclosed: the limit is met before the missing brackets.
  EXPECT_EQ(message_of(std::string(kMaxNesting + 1, '[')), too_deep);
  std::string mixed;
  for (std::size_t i = 0; i <= kMaxNesting; i += 2) mixed += "[{\"k\":";
  EXPECT_EQ(message_of(mixed).rfind(
                "reply nests deeper than 10000 levels at byte ", 0),
            0u);
  // Deep nesting that closes again leaves room for more at the same depth.
  EXPECT_NO_THROW(decode_json("[" + nested(kMaxNesting - 1) + "," +
                              nested(kMaxNesting - 1) + "]"));
}

TEST(JsonTest, InvalidBodiesFail) {
  const std::string not_json = "reply is not JSON: ";
  struct Case {
    std::string body;
    std::string message;
  };
  const Case cases[] = {
      {"", "reply is empty"},
      {"\xEF\xBB\xBF", "reply is empty"},
      {" \t\r\n ", "reply is only white space"},
      {"<html><body>502 Bad Gateway</body></html>",
       not_json + "unexpected '<' at byte 0"},
      {"1 2", not_json + "unexpected '2' at byte 2 after the value"},
      {"{}x", not_json + "unexpected 'x' at byte 2 after the value"},
      {"[]]", not_json + "unexpected ']' at byte 2 after the value"},
      {"\"a\"\"b\"", not_json + "unexpected " + quote_text("\"") +
                         " at byte 3 after the value"},
      {"[1,]", not_json + "unexpected ']' at byte 3"},
      {"[,1]", not_json + "unexpected ',' at byte 1"},
      {"{\"a\":1,}", not_json + "unexpected '}' at byte 7, expected a key"},
      {"{1:2}", not_json + "unexpected '1' at byte 1, expected a key"},
      {"{\"a\" 1}", not_json + "unexpected '1' at byte 5, expected ':'"},
      {"{\"a\":1 \"b\":2}", not_json + "unexpected " + quote_text("\"") +
                                " at byte 7, expected ',' or '}'"},
      {"[1 2]", not_json + "unexpected '2' at byte 3, expected ',' or ']'"},
      {"[1}", not_json + "unexpected '}' at byte 2, expected ',' or ']'"},
      {"{\"a\":1]", not_json + "unexpected ']' at byte 6, expected ',' or '}'"},
      {"[", not_json + "list opened at byte 0 is not closed"},
      {"[1,[2]", not_json + "list opened at byte 0 is not closed"},
      {"[1,", not_json + "list opened at byte 0 is not closed"},
      {"{\"a\":[", not_json + "list opened at byte 5 is not closed"},
      {"{", not_json + "map opened at byte 0 is not closed"},
      {"{\"a\"", not_json + "map opened at byte 0 is not closed"},
      {"{\"a\":", not_json + "map opened at byte 0 is not closed"},
      {"{\"a\":1", not_json + "map opened at byte 0 is not closed"},
      {"\"abc", not_json + "text opened at byte 0 is not closed"},
      {"[\"abc\\\"]", not_json + "text opened at byte 1 is not closed"},
      {"\"abc\\", not_json + "text opened at byte 0 is not closed"},
      {"\"\\q\"",
       not_json + "invalid escape " + quote_text("\\q") + " at byte 1"},
      {"\"\\x41\"",
       not_json + "invalid escape " + quote_text("\\x") + " at byte 1"},
      {"\"\\U0041\"",
       not_json + "invalid escape " + quote_text("\\U") + " at byte 1"},
      {"\"\\'\"",
       not_json + "invalid escape " + quote_text("\\'") + " at byte 1"},
      {"\"\\u12G4\"",
       not_json + "invalid escape " + quote_text("\\u12G4") + " at byte 1"},
      {"\"\\u12",
       not_json + "invalid escape " + quote_text("\\u12") + " at byte 1"},
      {"\"\\uD83D\\uDE0\"",
       not_json + "invalid escape " + quote_text("\\uDE0\"") + " at byte 7"},
      {"\"x\\u\"",
       not_json + "invalid escape " + quote_text("\\u\"") + " at byte 2"},
      {"\"a\x01\"", not_json + "raw control character " + quote_text("\x01") +
                        " in a text at byte 2"},
      {"\"\t\"", not_json + "raw control character " + quote_text("\t") +
                     " in a text at byte 1"},
      {"\"a\\n\x1F\"", not_json + "raw control character " +
                           quote_text("\x1F") + " in a text at byte 4"},
      {"\"\xFF\"", not_json + "invalid UTF-8 at byte 1"},
      {"\"\x80\"", not_json + "invalid UTF-8 at byte 1"},
      {"\"\xC0\xAF\"", not_json + "invalid UTF-8 at byte 1"},      // overlong
      {"\"\xE0\x80\xAF\"", not_json + "invalid UTF-8 at byte 1"},  // overlong
      {"\"\xF0\x80\x80\xAF\"",
       not_json + "invalid UTF-8 at byte 1"},                      // overlong
      {"\"\xED\xA0\x80\"", not_json + "invalid UTF-8 at byte 1"},  // surrogate
      {"\"\\n\xED\xBF\xBF\"",
       not_json + "invalid UTF-8 at byte 3"},  // surrogate
      {"\"\xF4\x90\x80\x80\"",
       not_json + "invalid UTF-8 at byte 1"},  // above U+10FFFF
      {"\"\xF5\x80\x80\x80\"", not_json + "invalid UTF-8 at byte 1"},
      {"\"ab\xE2\x82\"", not_json + "invalid UTF-8 at byte 3"},  // cut short
      {"\"ab\xE2\x82", not_json + "invalid UTF-8 at byte 3"},
      {"\xFF", not_json + "invalid UTF-8 byte 0xff at byte 0"},
      {"[1,\xC3\xA9]",
       not_json + "unexpected " + quote_text("\xC3\xA9") + " at byte 3"},
      {" \xEF\xBB\xBF{}",
       not_json + "unexpected " + quote_text("\xEF\xBB\xBF") + " at byte 1"},
      {"\xEF\xBB\xBF\xEF\xBB\xBF{}",
       not_json + "unexpected " + quote_text("\xEF\xBB\xBF") + " at byte 3"},
      {"\xC2\xA0"
       "1",
       not_json + "unexpected " + quote_text("\xC2\xA0") + " at byte 0"},
      {"\f1", not_json + "unexpected " + quote_text("\f") + " at byte 0"},
      {"\v1", not_json + "unexpected " + quote_text("\v") + " at byte 0"},
      {"01", not_json + "invalid number '01' at byte 0"},
      {"-01", not_json + "invalid number '-01' at byte 0"},
      {"[00]", not_json + "invalid number '00' at byte 1"},
      {"-", not_json + "invalid number '-' at byte 0"},
      {"--1", not_json + "invalid number '--1' at byte 0"},
      {"-a", not_json + "invalid number '-' at byte 0"},
      {"1.", not_json + "invalid number '1.' at byte 0"},
      {"1.e5", not_json + "invalid number '1.e5' at byte 0"},
      {"1e", not_json + "invalid number '1e' at byte 0"},
      {"1e+", not_json + "invalid number '1e+' at byte 0"},
      {"[1E-]", not_json + "invalid number '1E-' at byte 1"},
      {".5", not_json + "unexpected '.' at byte 0"},
      {"+1", not_json + "unexpected '+' at byte 0"},
      {"0x10", not_json + "unexpected 'x' at byte 1 after the value"},
      {"1.5.2", not_json + "unexpected '.' at byte 3 after the value"},
      {"NaNx", not_json + "unexpected 'x' at byte 3 after the value"},
      {"nan", not_json + "unexpected 'n' at byte 0"},
      {"NAN", not_json + "unexpected 'N' at byte 0"},
      {"inf", not_json + "unexpected 'i' at byte 0"},
      {"infinity", not_json + "unexpected 'i' at byte 0"},
      {"Infinit", not_json + "unexpected 'I' at byte 0"},
      {"-infinity", not_json + "invalid number '-' at byte 0"},
      {"-NaN", not_json + "invalid number '-' at byte 0"},
      {"+Infinity", not_json + "unexpected '+' at byte 0"},
      {"tru", not_json + "unexpected 't' at byte 0"},
      {"True", not_json + "unexpected 'T' at byte 0"},
      {"nulll", not_json + "unexpected 'l' at byte 4 after the value"},
      {"'a'", not_json + "unexpected " + quote_text("'") + " at byte 0"},
      {"[1]//c", not_json + "unexpected '/' at byte 3 after the value"},
      {"/*c*/1", not_json + "unexpected '/' at byte 0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(message_of(c.body), c.message) << c.body;
    // What is left out is checked by the same walk.
    EXPECT_EQ(message_of(c.body, &kSomeGuide), c.message) << c.body;
    EXPECT_EQ(message_of(c.body, &kNoneGuide), c.message) << c.body;
  }
}

TEST(JsonTest, GuidedDecodeBuildsWhatTheGuideWants) {
  std::string wide = "{";  // past the linear key scan, repeats on both sides
  for (int i = 0; i < 40; ++i) {
    wide += "\"x" + std::to_string(i % 7) + "\":" + std::to_string(i) + ",\"k" +
            std::to_string(i % 35) + "\":" + std::to_string(i) + ",";
  }
  wide += "\"k0\":\"last\"}";
  std::string wide_kept = "{\"k0\":\"last\"";
  for (int i = 1; i < 35; ++i) {
    wide_kept +=
        ",\"k" + std::to_string(i) + "\":" + std::to_string(i < 5 ? i + 35 : i);
  }
  wide_kept += "}";
  struct Case {
    std::string body;
    std::string kept;  // what kSomeGuide builds
  };
  const Case cases[] = {
      {R"({"k":1,"x":2})", R"({"k":1})"},
      {R"({"x":1,"k":2,"x":3,"k":4,"y":5})", R"({"k":4})"},
      {R"({"k":[1,[2,3],{"k":1,"x":2}],"x":{"k":1}})",
       R"({"k":[1,[],{"k":1}]})"},
      {R"([{"x":1},{"ka":{"x":[1]}}])", R"([{},{"ka":{}}])"},
      {R"({"x":1,"\u006b1":2})", R"({"k1":2})"},
      {R"("text")", R"("text")"},
      {wide, wide_kept},
  };
  for (const Case& c : cases) {
    Value want = decode_json(c.kept);
    EXPECT_TRUE(same_value(decode_json(c.body, kSomeGuide).node(), want.node()))
        << c.body;
    // A low limit makes maps keep the keys they leave out, to count them.
    EXPECT_TRUE(same_value(
        decode_json_for_test(c.body, &kSomeGuide, 100).node(), want.node()))
        << c.body;
    EXPECT_EQ(decode_json(c.body, kNoneGuide).kind(), Kind::kNull) << c.body;
  }
}

// A text, number or container too large fails where it ends, as any fault
// there, whether it is built or left out; a map counts a repeated key once.
TEST(JsonTest, SizeLimitsHoldInPartsLeftOut) {
  const std::string not_json = "reply is not JSON: ";
  struct Case {
    std::string body;
    std::string message;  // with a limit of 3
  };
  const Case cases[] = {
      {R"("abcd")", not_json + "text opened at byte 0 is too long"},
      {R"({"x":"abcd"})", not_json + "text opened at byte 5 is too long"},
      {R"({"x":"a\n\nb"})", not_json + "text opened at byte 5 is too long"},
      {R"({"x":"ab\n"})", "<decoded>"},
      {R"({"x":12345})", not_json + "number at byte 5 is too long"},
      {R"({"x":1234.5})", "<decoded>"},
      {R"({"x":[1,2,3,4]})", not_json + "list opened at byte 5 is too large"},
      {R"({"x":[1,2,3]})", "<decoded>"},
      {R"({"k":[[1,2,3,4]]})", not_json + "list opened at byte 6 is too large"},
      {R"({"x":[1,2,3,4,]})", not_json + "unexpected ']' at byte 14"},
      {R"({"x":{"a":1,"b":2,"c":3,"d":4}})",
       not_json + "map opened at byte 5 is too large"},
      {R"({"x":{"a":1,"a":2,"a":3,"a":4}})", "<decoded>"},
      {R"({"k":1,"a":2,"b":3,"c":4})",
       not_json + "map opened at byte 0 is too large"},
      {R"({"k":1,"a":2,"a":3,"a":4,"k":5})", "<decoded>"},
      // The smallest map past the limit, with and without repeats.
      {R"({"":0,"":0,"":0,"":0})", "<decoded>"},
      {R"({"":0,"a":0,"b":0,"c":0})",
       not_json + "map opened at byte 0 is too large"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(message_of(c.body, nullptr, 3), c.message) << c.body;
    EXPECT_EQ(message_of(c.body, &kSomeGuide, 3), c.message) << c.body;
    EXPECT_EQ(message_of(c.body, &kNoneGuide, 3), c.message) << c.body;
  }
}

TEST(JsonTest, ErrorMessagesStayShort) {
  // Excerpts are capped whatever the body holds.
  const std::string digits(1 << 20, '1');
  for (const std::string& body :
       {"-" + digits + ".", digits + ".x", "[" + digits + " " + digits + "]"}) {
    std::string message = message_of(body);
    EXPECT_LT(message.size(), 120u) << message.substr(0, 200);
  }
}

TEST(JsonTest, LargeRepliesDecode) {
  constexpr int kKeys = 1000000;
  std::string body = "{";
  for (int i = 0; i < kKeys; ++i) {
    body += "\"key" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  }
  body += "\"key0\":\"last\"}";
  Value map = decode_json(std::move(body));
  ASSERT_EQ(map.node().size, static_cast<std::uint32_t>(kKeys));
  EXPECT_EQ(map.node().map()[0].value.text(), "last");
  EXPECT_EQ(map.node().map()[kKeys - 1].name(), "key999999");

  std::string list = "[";
  for (int i = 0; i < 2000000; ++i) list += "[1.5,\"x\",true],";
  list += "null]";
  Value v = decode_json(std::move(list));
  ASSERT_EQ(v.node().size, 2000001u);
  EXPECT_EQ(v.node().items[1999999].items[1].text(), "x");
}

}  // namespace
}  // namespace tarnwick
