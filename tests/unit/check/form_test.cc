#include "tarnwick/check/form.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fake_transport.h"
#include "tarnwick/base/error.h"

namespace tarnwick {
namespace {

struct FormCase {
  const char* name;
  std::function<Node(ValueBuilder&)> make;
  std::vector<std::string> sent;  // values sent under the field, in order
  bool fails = false;             // kInvalidValue instead
};

Node text(ValueBuilder& b, std::string_view s) { return b.text(s); }

Node list(ValueBuilder& b, std::vector<Node> items) { return b.list(items); }

Node map(ValueBuilder& b, std::vector<std::string_view> keys) {
  std::vector<Member> members;
  for (std::string_view k : keys) {
    members.push_back({b.text(k), b.whole("1")});
  }
  return b.map(members);
}

const FormCase kCases[] = {
    {"text",
     [](ValueBuilder& b) { return text(b, "up & away"); },
     {"up & away"}},
    {"empty text", [](ValueBuilder& b) { return text(b, ""); }, {""}},
    {"whole", [](ValueBuilder& b) { return b.whole("-12"); }, {"-12"}},
    {"whole beyond 64 bits",
     [](ValueBuilder& b) { return b.whole("123456789012345678901234567890"); },
     {"123456789012345678901234567890"}},
    {"whole -0", [](ValueBuilder& b) { return b.whole("-0"); }, {"0"}},
    {"real fraction",
     [](ValueBuilder&) { return Node::real_number(2.5); },
     {"2.5"}},
    {"real whole",
     [](ValueBuilder&) { return Node::real_number(5.0); },
     {"5.0"}},
    {"real exponent",
     [](ValueBuilder&) { return Node::real_number(1e16); },
     {"1e+16"}},
    {"real -0.0",
     [](ValueBuilder&) { return Node::real_number(-0.0); },
     {"-0.0"}},
    {"real inf",
     [](ValueBuilder&) {
       return Node::real_number(std::numeric_limits<double>::infinity());
     },
     {"inf"}},
    {"real nan",
     [](ValueBuilder&) { return Node::real_number(std::nan("")); },
     {"nan"}},
    {"true", [](ValueBuilder&) { return Node::boolean(true); }, {"True"}},
    {"false", [](ValueBuilder&) { return Node::boolean(false); }, {"False"}},
    {"null is left out", [](ValueBuilder&) { return Node::null(); }, {}},
    {"list once per item",
     [](ValueBuilder& b) {
       return list(b, {text(b, "a"), b.whole("1"), Node::boolean(false)});
     },
     {"a", "1", "False"}},
    {"empty list", [](ValueBuilder& b) { return list(b, {}); }, {}},
    {"map once per key in order",
     [](ValueBuilder& b) {
       return map(b, {"object", "results", "a"});
     },
     {"object", "results", "a"}},
    {"nested list flattened in order",
     [](ValueBuilder& b) {
       Node inner = list(b, {text(b, "c"), list(b, {})});
       return list(
           b, {text(b, "a"), list(b, {text(b, "b"), inner}), text(b, "d")});
     },
     {"a", "b", "c", "d"}},
    {"map in list sends its keys",
     [](ValueBuilder& b) {
       return list(b, {map(b, {"x", "y"}), text(b, "z")});
     },
     {"x", "y", "z"}},
    {"null items left out",
     [](ValueBuilder& b) {
       return list(b, {Node::null(), text(b, "a"), Node::null()});
     },
     {"a"}},
    {"lone surrogate text",
     [](ValueBuilder& b) { return text(b, "x\xED\xA0\x80"); },
     {},
     true},
    // The failure comes after an item was already appended.
    {"lone surrogate in later item",
     [](ValueBuilder& b) {
       return list(b, {text(b, "ok"), text(b, "\xED\xBF\xBF")});
     },
     {},
     true},
    {"lone surrogate map key",
     [](ValueBuilder& b) { return map(b, {"\xED\xB0\x80"}); },
     {},
     true},
    {"nesting 10000 deep",
     [](ValueBuilder& b) {
       Node v = text(b, "deep");
       for (std::size_t i = 0; i < kMaxNesting; ++i) v = list(b, {v});
       return v;
     },
     {"deep"}},
};

TEST(FormTest, AppendsValueByItsKind) {
  for (const FormCase& c : kCases) {
    SCOPED_TRACE(c.name);
    ValueBuilder builder;
    Node value = c.make(builder);
    std::vector<FormField> fields{{"CID", "c1"}};
    if (c.fails) {
      try {
        append_form_value(fields, "name", value);
        ADD_FAILURE() << "no error";
      } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::kInvalidValue);
        EXPECT_STREQ(e.what(),
                     "field 'name' holds a lone surrogate and cannot be sent");
      }
      // Nothing of the failed value stays behind.
      ASSERT_EQ(fields.size(), 1u);
      continue;
    }
    append_form_value(fields, "name", value);
    ASSERT_EQ(fields.size(), c.sent.size() + 1);
    EXPECT_EQ(fields[0].name, "CID");
    for (std::size_t i = 0; i < c.sent.size(); ++i) {
      EXPECT_EQ(fields[i + 1].name, "name");
      EXPECT_EQ(fields[i + 1].value, c.sent[i]) << "field " << i;
    }
  }
}

using Fields = std::vector<std::pair<std::string, std::string>>;

std::vector<FormField> to_form(const Fields& fields) {
  std::vector<FormField> form;
  for (const auto& [name, value] : fields) form.push_back({name, value});
  return form;
}

TEST(EncodeFormTest, EncodesByTheFormRules) {
  struct Case {
    Fields fields;
    std::string expected;
  };
  const Case kCases[] = {
      {{}, ""},
      {{{"action", "login"}, {"username", "admin"}, {"password", "x"}},
       "action=login&username=admin&password=x"},
      // Separators inside values must not split or join fields.
      {{{"p", "a&b=c+d"}}, "p=a%26b%3Dc%2Bd"},
      {{{"p", "a b  c "}}, "p=a+b++c+"},
      {{{"p", "100%"}}, "p=100%25"},
      {{{"p", "%41"}}, "p=%2541"},
      {{{"p", "AZaz09*-._"}}, "p=AZaz09*-._"},
      // "~" is kept by URL rules but not by form rules.
      {{{"p", "~!'()/?:@#;,[]"}},
       "p=%7E%21%27%28%29%2F%3F%3A%40%23%3B%2C%5B%5D"},
      {{{"p", "\t\n\r\x7f"}}, "p=%09%0A%0D%7F"},
      {{{"p", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac"}}, "p=%C3%A9t%C3%A9+%E2%82%AC"},
      // Bytes are sent as they are, valid UTF-8 or not.
      {{{"p", "\xff\xfe"}}, "p=%FF%FE"},
      {{{"p", std::string("a\0b", 3)}}, "p=a%00b"},
      {{{"p", ""}}, "p="},
      {{{"", ""}}, "="},
      {{{"", ""}, {"", ""}}, "=&="},
      {{{"a b", "c"}, {"x=y", "z"}}, "a+b=c&x%3Dy=z"},
      {{{"k", "1"}, {"k", "2"}, {"j", "3"}, {"k", "4"}}, "k=1&k=2&j=3&k=4"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(encode_form(to_form(c.fields)), c.expected) << c.expected;
  }
}

TEST(EncodeFormTest, EveryByteSurvivesTheRoundTrip) {
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
  const Fields fields = {{all_bytes, all_bytes}, {"", all_bytes}};
  const std::string form = encode_form(to_form(fields));
  EXPECT_EQ(decode_form_for_test(form), fields);
  // Nothing outside the kept set may appear unescaped.
  for (char c : form) {
    EXPECT_NE(
        std::string("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopq"
                    "rstuvwxyz*-._%+=&")
            .find(c),
        std::string::npos)
        << static_cast<int>(c);
  }
}

}  // namespace
}  // namespace tarnwick
