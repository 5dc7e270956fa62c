#include "tarnwick/report/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/base/output.h"
#include "tarnwick/base/value.h"
#include "tarnwick/json/json.h"
#include "test_util.h"

namespace tarnwick {
namespace {

std::string json_of(const std::string& body) {
  return json_for_test(decode_json(body).node());
}

std::string json_string_of(std::string_view text) {
  Output out(-1);
  write_json_string(text, out);
  return out.text();
}

// Whether v holds NaN or an infinity, which JSON has no form for.
bool holds_non_finite(const Node& v) {
  std::vector<const Node*> todo{&v};
  while (!todo.empty()) {
    const Node* n = todo.back();
    todo.pop_back();
    if (n->kind == Kind::kReal && !std::isfinite(n->number())) return true;
    for (const Node& item : n->is_list() ? n->list() : std::span<const Node>())
      todo.push_back(&item);
    if (n->is_map()) {
      for (MemberRef m : n->map()) todo.push_back(&m.value);
    }
  }
  return false;
}

TEST(JsonWriterTest, WritesValuesExactly) {
  struct Case {
    std::string body;
    std::string json;
  };
  const std::string digits(400, '7');
  const Case cases[] = {
      // Members stay in the order of the reply, never sorted.
      {R"({"b":1,"a":[true,false,null],"B":{}})",
       R"({"b": 1, "a": [true, false, null], "B": {}})"},
      {"[[], {}, [[]], \"\"]", R"([[], {}, [[]], ""])"},
      {"-0", "0"},
      {"-" + digits, "-" + digits},
      {"5.0", "5.0"},
      {"5e0", "5.0"},
      {"1e16", "1e+16"},
      {"1e15", "1000000000000000.0"},
      {"1.5e-5", "1.5e-05"},
      {"-0.0", "-0.0"},
      {"0.1", "0.1"},
      // Sixteen digits that are not the shortest form of their double.
      {"[9.000000000000001, 9.999999999999999]",
       "[9.000000000000002, 9.999999999999998]"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"5e-324", "5e-324"},
      {"[NaN, Infinity, -Infinity, 1e400, -1e400]",
       "[null, null, null, null, null]"},
      {R"("FILTER_NOT_FOUND")", R"("FILTER_NOT_FOUND")"},
      {R"("say \"hi\" \\ \/")", R"("say \"hi\" \\ /")"},
      {R"("\b\f\n\r\t")", R"("\b\f\n\r\t")"},
      // DEL and C1 controls need no escape in JSON.
      {R"("\u0000\u001b\u001f\u007f\u0085")",
       "\"\\u0000\\u001b\\u001f\x7f\xc2\x85\""},
      {R"("é\u00e9 東京 \ud83d\ude00")",
       "\"\xc3\xa9\xc3\xa9 \xe6\x9d\xb1\xe4\xba\xac \xf0\x9f\x98\x80\""},
      // Lone surrogates, in keys too, and one beside a pair.
      {R"({"\ud800x\udfff": "\ud83d\ud83d\ude00\ude00"})",
       R"({"\ud800x\udfff": "\ud83d)"
       "\xf0\x9f\x98\x80"
       R"(\ude00"})"},
      // The line and paragraph separators, raw in a key and a text, and
      // escaped in a text that needs another escape too.
      {"{\"k\xe2\x80\xa8\": [\"a\xe2\x80\xa9\", \"\\u2028'\\n\"]}",
       R"({"k\u2028": ["a\u2029", "\u2028'\n"]})"},
      // Escapes late in an eight-byte word and right after one.
      {R"("abcdefg\\abcdefg\"")", R"("abcdefg\\abcdefg\"")"},
      {R"("abcdefg\nhijklmnopé")", "\"abcdefg\\nhijklmnop\xc3\xa9\""},
  };
  for (const Case& c : cases) EXPECT_EQ(json_of(c.body), c.json) << c.body;
}

TEST(JsonWriterTest, NamesBecomeValidUtf8) {
  struct Case {
    std::string text;
    std::string json;
  };
  const std::string fffd = "\xef\xbf\xbd";
  const Case cases[] = {
      {"gateways.cfg", R"("gateways.cfg")"},
      {"cannot open 'a\"b': \x1b[31m", R"("cannot open 'a\"b': \u001b[31m")"},
      {"Z\xc3\xbcrich", "\"Z\xc3\xbcrich\""},
      // Every byte that is not part of UTF-8 stands for one U+FFFD.
      {"x\xffy", "\"x" + fffd + "y\""},
      {"\xc0\x80", "\"" + fffd + fffd + "\""},             // overlong
      {"\xe6\x9d", "\"" + fffd + fffd + "\""},             // cut short
      {"\xed\xa0\x80", "\"" + fffd + fffd + fffd + "\""},  // a surrogate
      {"\xf4\x90\x80\x80", "\"" + fffd + fffd + fffd + fffd + "\""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(json_string_of(c.text), c.json) << c.json;
}

TEST(JsonWriterTest, GoldenBodiesReadBackAsTheSameValue) {
  for (const Value& record : golden_table_for_test("notation")) {
    const std::string id = golden_text_for_test(record.node(), "id");
    Value value = decode_json(golden_text_for_test(record.node(), "json"));
    const std::string json = json_for_test(value.node());
    Value back;
    ASSERT_NO_THROW(back = decode_json(json)) << id << ": " << json;
    if (!holds_non_finite(value.node())) {
      EXPECT_TRUE(same_value(back.node(), value.node())) << id << ": " << json;
    }
  }
}

TEST(JsonWriterTest, DeepNestingReadsBack) {
  std::string lists =
      std::string(kMaxNesting, '[') + "1" + std::string(kMaxNesting, ']');
  EXPECT_EQ(json_of(lists), lists);
  std::string maps;
  for (std::size_t i = 0; i < kMaxNesting; ++i) maps += R"({"k": )";
  maps += "1" + std::string(kMaxNesting, '}');
  EXPECT_EQ(json_of(maps), maps);
}

}  // namespace
}  // namespace tarnwick
