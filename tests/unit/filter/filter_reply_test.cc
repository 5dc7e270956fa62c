// filter_reply must give exactly what filter_results(decode_json())
// gives: the same value, or the same failure with the same message.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/filter/filter.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/notation.h"
#include "test_util.h"

namespace tarnwick {
namespace {

// What a path gives: the printed value, or the failure's kind and message.
struct Outcome {
  bool failed = false;
  ErrorKind kind{};
  std::string text;
  Value value;
};

template <typename Path>
Outcome outcome_of(Path path) {
  Outcome o;
  try {
    o.value = path();
    o.text = pformat(o.value.node());
  } catch (const Error& e) {
    o.failed = true;
    o.kind = e.kind();
    o.text = e.what();
  }
  return o;
}

std::string describe(const std::string& body,
                     const std::vector<std::string>& filters) {
  std::string s = "body " + quote_text(body) + " filters [";
  for (const std::string& f : filters) s += quote_text(f) + ",";
  return s + "]";
}

void expect_same_outcome(const std::string& body,
                         const std::vector<std::string>& filters) {
  SCOPED_TRACE(describe(body, filters));
  Outcome full =
      outcome_of([&] { return filter_results(decode_json(body), filters); });
  Outcome pruned = outcome_of([&] { return filter_reply(body, filters); });
  ASSERT_EQ(full.failed, pruned.failed)
      << "full: " << full.text << "pruned: " << pruned.text;
  EXPECT_EQ(full.text, pruned.text);
  if (full.failed) {
    EXPECT_EQ(full.kind, pruned.kind);
  } else {
    // Map members in order too, which the printed form sorts away.
    EXPECT_TRUE(same_value(full.value.node(), pruned.value.node()));
  }
}

// Every case of tests/data/filter.jsonl, results and failures alike.
TEST(FilterReplyTest, GoldenFilterVectorsMatchTheFullDecode) {
  const std::vector<Value>& records = golden_table_for_test("filter");
  for (const Value& v : records) {
    std::vector<std::string> list;
    for (const Node& f : golden_member_for_test(v.node(), "filters").list())
      list.emplace_back(f.text());
    ASSERT_NO_FATAL_FAILURE(
        expect_same_outcome(golden_text_for_test(v.node(), "reply"), list));
  }
  EXPECT_GT(records.size(), 150u);
}

// The cases where the pruned decode builds least, and where the filter rules
// are easiest to get wrong: repeated keys, untrimmed expressions, maps built
// by multi-key expressions and then filtered again, lists in lists.
TEST(FilterReplyTest, PrunedShapesMatchTheFullDecode) {
  const std::string gateways =
      R"({"ok": true, "gateways": [{"name": "edge-1", "state": "up", "size": "small"},)"
      R"( {"name": "edge-2", "size": "large", "tags": [1, [2]]}], " pad": {"a": [1]}})";
  const std::vector<std::vector<std::string>> filter_lists = {
      {"gateways"},
      {"gateways", "name"},
      {"gateways", "state"},
      {"gateways", "name & state"},
      {"gateways", "name & state", "state"},
      {"gateways", "name & state", " state"},
      {"gateways", "name & size", "size & name", "name"},
      {"gateways", "name & name"},
      {"gateways", "tags"},
      {"gateways", "tags", "x"},
      {"gateways & ok", "gateways"},
      {"gateways & ok", "ok"},
      {"gateways & ok", "gateways", "name"},
      {"ok & gateways", "gateways & x", "gateways", "size"},
      {" gateways"},
      {"gateways ", "name"},
      {"pad"},
      {" pad", "a"},
      {" pad", "a", "b"},
      {"ok", "x"},
      {"missing", "x"},
      {""},
      {"&"},
      {"gateways", ""},
  };
  for (const auto& filters : filter_lists) {
    ASSERT_NO_FATAL_FAILURE(expect_same_outcome(gateways, filters));
  }
  const std::string long_key(70, 'k');  // longer than key lengths are told
  const std::string shapes[] = {
      "{\"" + long_key + "\": [{\"" + long_key + "1\": 1}], \"a\": 2}",
      R"({"a": 1, "a": 2, "b": {"c": 1}, "a": 3})",
      R"({"a": {"x": 1}, "a": {"y": 2}})",
      R"([{"a": 1, "a": [2]}, {"b": 1, "a": null}])",
      R"([[1, 2], {"a": 1}])",
      R"([{"a": 1}, [1, 2], "x"])",
      R"([{"a": [[{"b": 1}]]}, {"a": []}])",
      R"({"results": [], "a": 1})",
      R"([])",
      R"({})",
      R"("text")",
      R"(null)",
      R"({"\u0061": 1, "a": 2, "b\n": 3})",
      // Faults for the filters before and after the one they meet first.
      R"({"c": [{"b": 1}], "a": [{"b": 1}, 5, {"c": 2}]})",
  };
  const std::vector<std::vector<std::string>> shape_filters = {
      {"a"},
      {"a", "b"},
      {"a & b"},
      {"a & b", "a"},
      {"a & a", "a"},
      {"b", "c"},
      {"results", "name & state"},
      {"a", "x & y"},
      {"b\n"},
      {"a", "c"},
      {"c", "b", "x"},
      {long_key, long_key + "1"},
      {long_key + " & a", long_key, long_key + "1"},
  };
  for (const std::string& body : shapes) {
    for (const auto& filters : shape_filters) {
      ASSERT_NO_FATAL_FAILURE(expect_same_outcome(body, filters));
    }
  }
}

// A fault in a part that no filter reaches still fails the reply, with the
// full decoder's message.
TEST(FilterReplyTest, InvalidBodyAnywhereFailsAlike) {
  const std::string faults[] = {
      "",
      "01",
      "-",
      "1.",
      "1e+",
      "+1",
      ".5",
      "nan",
      "tru",
      "[1,]",
      "[,1]",
      "[1 2]",
      "[1}",
      "{\"a\":1,}",
      "{1:2}",
      "{\"a\" 1}",
      "{\"a\":1]",
      "[",
      "{",
      "{\"a\"",
      "\"abc",
      "\"\\q\"",
      "\"\\u12G4\"",
      "\"\\uD83D\\uDE0\"",
      "\"a\x01\"",
      "\"\xFF\"",
      "\"\xED\xA0\x80\"",
      "\"ab\xE2\x82\"",
      "\xC3\xA9",
      "\f1",
  };
  const std::vector<std::string> filters = {"results", "name & state"};
  for (const std::string& fault : faults) {
    // In a skipped member, in a skipped part of a kept element, in an
    // element list that only fails a lookup, and after the end. The last two
    // follow an element the filters fail on: the decoder's fault wins.
    const std::string bodies[] = {
        R"({"skip": )" + fault +
            R"(, "results": [{"name": "a", "state": "up"}]})",
        R"({"results": [{"name": "a", "pad": )" + fault +
            R"(, "state": "up"}]})",
        R"({"results": [[)" + fault + R"(], {"name": "a"}]})",
        R"({"results": [{"name": "a", "state": [{"x": )" + fault + R"(}]}]})",
        R"({"results": []} )" + fault,
        R"({"results": [5, {"name": "a", "pad": )" + fault + "}]}",
        R"({"results": [{"state": 1}, )" + fault + "]}",
    };
    for (const std::string& body : bodies) {
      ASSERT_NO_FATAL_FAILURE(expect_same_outcome(body, filters));
    }
  }
}

TEST(FilterReplyTest, NestingLimitHoldsInSkippedParts) {
  const std::vector<std::string> filters = {"results"};
  for (std::size_t depth : {kMaxNesting - 2, kMaxNesting - 1, kMaxNesting}) {
    // The skipped value starts one level down, inside the top-level map.
    std::string deep = std::string(depth, '[') + std::string(depth, ']');
    ASSERT_NO_FATAL_FAILURE(expect_same_outcome(
        R"({"skip": )" + deep + R"(, "results": 1})", filters));
    std::string maps;
    for (std::size_t i = 0; i < depth; ++i) maps += R"({"a":)";
    maps += "0" + std::string(depth, '}');
    ASSERT_NO_FATAL_FAILURE(expect_same_outcome(
        R"({"results": [)" + maps + "]}", {"results", "b"}));
  }
}

TEST(FilterReplyTest, BuildsOnlyWhatTheFilterReaches) {
  std::string body = R"({"results": [)";
  for (int i = 0; i < 20000; ++i) {
    if (i > 0) body += ", ";
    body +=
        R"({"name": "gw-)" + std::to_string(i) +
        R"(", "state": "up", "pad": [1, 2.5, "x\n", {"k": null}, [true, null]],)"
        R"( "cpu": 0.5})";
  }
  body += "]}";
  Value full = decode_json(body);
  Value pruned = filter_reply(body, {"results", "state"});
  ASSERT_EQ(pruned.node().size, 20000u);
  // The filtered value keeps the decoded reply alive; that reply holds the
  // element list and nothing of the skipped members.
  ASSERT_EQ(pruned.storage()->shared.size(), 1u);
  const std::size_t pruned_bytes =
      pruned.storage()->shared.front()->arena.bytes_reserved();
  EXPECT_LT(pruned_bytes * 4, full.storage()->arena.bytes_reserved());
}

// A value of random shape from a small pool of keys, so that filters meet
// every kind: maps with and without the key, lists of lists, scalars.
std::string random_value(std::mt19937& rng, int depth) {
  static const char* const kKeys[] = {"a", "b", "c", " a", ""};
  static const char* const kScalars[] = {
      "1",     "-2.5e3",          "true", "false", "null",
      "\"x\"", "\"y\\n\\u00e9\"", "\"\""};
  const int pick = static_cast<int>(rng() % (depth > 3 ? 4 : 8));
  if (pick < 4) return kScalars[rng() % std::size(kScalars)];
  const int size = static_cast<int>(rng() % 4);
  std::string s = pick < 6 ? "{" : "[";
  for (int i = 0; i < size; ++i) {
    if (i > 0) s += ",";
    if (pick < 6)
      s += "\"" + std::string(kKeys[rng() % std::size(kKeys)]) + "\":";
    s += random_value(rng, depth + 1);
  }
  return s + (pick < 6 ? "}" : "]");
}

std::vector<std::string> random_filters(std::mt19937& rng) {
  static const char* const kExpressions[] = {"a",     "b",         "c",   " a",
                                             "a & b", "b&a",       "a&a", "",
                                             "&",     "c & a & b", "a ",  "x"};
  std::vector<std::string> filters(rng() % 5);
  for (std::string& f : filters)
    f = kExpressions[rng() % std::size(kExpressions)];
  return filters;
}

// Random replies and filter lists, whole and with one byte changed.
TEST(FilterReplyTest, RandomRepliesMatchTheFullDecode) {
  std::mt19937 rng(20240607);
  for (int round = 0; round < 3000; ++round) {
    std::string body = random_value(rng, 0);
    std::vector<std::string> filters = random_filters(rng);
    ASSERT_NO_FATAL_FAILURE(expect_same_outcome(body, filters));
    if (!body.empty()) {
      static const char kBytes[] = "{}[],:\"\\ 0-.eax\x01\xC3";
      body[rng() % body.size()] = kBytes[rng() % (sizeof kBytes - 1)];
      ASSERT_NO_FATAL_FAILURE(expect_same_outcome(body, filters));
    }
  }
}

}  // namespace
}  // namespace tarnwick
