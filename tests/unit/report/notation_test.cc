#include "tarnwick/report/notation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tarnwick/base/output.h"
#include "tarnwick/base/value.h"
#include "tarnwick/json/json.h"
#include "test_util.h"

namespace tarnwick {
namespace {

std::string print(const std::string& json, std::size_t width = kReportWidth) {
  return pformat(decode_json(json).node(), width);
}

// ----- Golden vectors

struct Vector {
  std::string id;
  std::string json;
  std::string notation;
};

std::map<std::string, std::vector<Vector>> load_vectors() {
  std::map<std::string, std::vector<Vector>> groups;
  for (const Value& v : golden_table_for_test("notation")) {
    const Node& n = v.node();
    groups[golden_text_for_test(n, "group")].push_back(
        {golden_text_for_test(n, "id"), golden_text_for_test(n, "json"),
         golden_text_for_test(n, "notation")});
  }
  return groups;
}

const std::map<std::string, std::vector<Vector>>& vectors() {
  static const auto* groups =
      new std::map<std::string, std::vector<Vector>>(load_vectors());
  return *groups;
}

const char* const kGroups[] = {
    "number-other",
    "number-whole",
    "number-in-container",
    "literal",
    "empty",
    "nonfinite-words",
    "text-escape",
    "json-spelling",
    "map-order",
    "duplicate-key",
    "list-of-maps",
    "long-text",
    "long-text-nonascii",
    "long-word",
    "text-lines",
    "deep",
    "width-boundary",
    "width-sweep",
    "split-boundary",
    "unicode-width",
    "number-long",
    "random",
};

TEST(NotationTest, VectorGroupsAreAllCovered) {
  std::set<std::string> listed(std::begin(kGroups), std::end(kGroups));
  for (const auto& [group, cases] : vectors()) {
    EXPECT_TRUE(listed.count(group)) << "group not tested: " << group;
  }
  EXPECT_EQ(listed.size(), vectors().size());
}

class NotationVectorTest : public testing::TestWithParam<const char*> {};

TEST_P(NotationVectorTest, PrintsExactly) {
  auto found = vectors().find(GetParam());
  ASSERT_NE(found, vectors().end());
  for (const Vector& vec : found->second) {
    EXPECT_EQ(print(vec.json), vec.notation) << vec.id;
  }
}

INSTANTIATE_TEST_SUITE_P(Groups, NotationVectorTest, testing::ValuesIn(kGroups),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// ----- One-line forms

TEST(NotationTest, PrintsNumbersAndWordsInContainers) {
  std::string digits(400, '7');
  EXPECT_EQ(print("-" + digits), "-" + digits + "\n");
  EXPECT_EQ(print("[5.0, 5e0, 1e16, -0, " + digits + "]"),
            "[5.0,\n 5.0,\n 1e+16,\n 0,\n " + digits + "]\n");
  EXPECT_EQ(print(R"({"b": [true, false, null], "a": 0.5})"),
            "{'a': 0.5, 'b': [True, False, None]}\n");
  // Sixteen digits that are not the shortest form of the double they name.
  EXPECT_EQ(print("[9.000000000000001, 9.999999999999999]"),
            "[9.000000000000002, 9.999999999999998]\n");
}

// ----- Layout

// A list of one text whose one-line form is n columns long.
std::string list_of_width(std::size_t n) {
  return "[\"" + std::string(n - 4, 'x') + "\"]";
}

TEST(NotationTest, BreaksOnlyBeyondTheWidth) {
  struct Case {
    std::string json;
    std::string notation;
  };
  std::string a(97, 'a');
  std::string b95(95, 'b');
  std::string b96(96, 'b');
  const Case cases[] = {
      // ['a…', 'b…'] is 200 columns and fits; one more character breaks it.
      {"[\"" + a + "\", \"" + b95 + "\"]", "['" + a + "', '" + b95 + "']\n"},
      {"[\"" + a + "\", \"" + b96 + "\"]", "['" + a + "',\n '" + b96 + "']\n"},
      // The inner list ends the outer one: its closing bracket counts.
      {"[[\"" + a + "\", \"" + std::string(93, 'b') + "\"]]",
       "[['" + a + "', '" + std::string(93, 'b') + "']]\n"},
      {"[[\"" + a + "\", \"" + std::string(94, 'b') + "\"]]",
       "[['" + a + "',\n  '" + std::string(94, 'b') + "']]\n"},
      // Not last in the outer list: the comma after it counts instead.
      {"[[\"" + a + "\", \"" + std::string(93, 'b') + "\"], 1]",
       "[['" + a + "', '" + std::string(93, 'b') + "'],\n 1]\n"},
      {"[[\"" + a + "\", \"" + std::string(94, 'b') + "\"], 1]",
       "[['" + a + "',\n  '" + std::string(94, 'b') + "'],\n 1]\n"},
      // The last entry of the inner map is followed by "}," before 2.
      {"[{\"a\": 1, \"k\": \"" + std::string(181, 'v') + "\"}, 2]",
       "[{'a': 1, 'k': '" + std::string(181, 'v') + "'},\n 2]\n"},
      {"[{\"a\": 1, \"k\": \"" + std::string(182, 'v') + "\"}, 2]",
       "[{'a': 1,\n  'k': '" + std::string(182, 'v') + "'},\n 2]\n"},
      // A single element that cannot be split stays on a long line.
      {"[[\"" + std::string(300, 'w') + "\"]]",
       "[['" + std::string(300, 'w') + "']]\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(print(c.json), c.notation) << c.json;
  EXPECT_EQ(print(list_of_width(200)).size(), 201u);
}

TEST(NotationTest, PrintsEmptyValuesWhereNothingFits) {
  EXPECT_EQ(print(R"({"": [], "k": {}, "t": ""})", 4),
            "{'': [],\n 'k': {},\n 't': ''}\n");
}

TEST(NotationTest, PrintsSharedSubtreesInPlace) {
  // The same map node twice: once it fits, once it is broken.
  ValueBuilder b;
  Member members[] = {{b.text("z"), b.text(std::string(150, 'z'))},
                      {b.text("a"), b.whole("1")}};
  Node map = b.map(members);
  Node outer[] = {map, b.text(std::string(20, 'q')), map};
  Value v = b.finish(b.list(outer));
  const std::string z = quote_text(std::string(150, 'z'));
  EXPECT_EQ(pformat(v.node()),
            "[{'a': 1, 'z': " + z +
                "},\n 'qqqqqqqqqqqqqqqqqqqq',\n {'a': 1, 'z': " + z + "}]\n");
  EXPECT_EQ(pformat(v.node(), 60),
            "[{'a': 1,\n  'z': " + z +
                "},\n 'qqqqqqqqqqqqqqqqqqqq',\n {'a': 1,\n  'z': " + z +
                "}]\n");
}

TEST(NotationTest, PrintsDeepNestingWithoutRecursion) {
  const std::size_t depth = kMaxNesting;
  std::string lists = std::string(depth, '[') + std::string(depth, ']');
  EXPECT_EQ(print(lists), lists + "\n");

  // Maps and lists in turn, too long for one line at every level, so that the
  // layout opens all of them.
  ValueBuilder b;
  Node inner = b.whole("0");
  for (std::size_t i = 0; i < depth; ++i) {
    if (i % 2) {
      Member members[] = {{b.text("a"), inner}};
      inner = b.map(members);
    } else {
      inner = b.list({&inner, 1});
    }
  }
  Value v = b.finish(inner);
  std::string expected;
  for (std::size_t i = 0; i < depth; ++i) expected += i % 2 ? "[" : "{'a': ";
  expected += "0";
  for (std::size_t i = 0; i < depth; ++i) expected += i % 2 ? "}" : "]";
  Output out(-1);
  pp(v.node(), out);
  EXPECT_EQ(out.text(), expected + "\n");
}

}  // namespace
}  // namespace tarnwick
