#include "tarnwick/form.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tarnwick/error.h"

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

}  // namespace
}  // namespace tarnwick
