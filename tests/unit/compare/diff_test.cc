#include "tarnwick/compare/diff.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/output.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/compare/compare_rules.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/json_writer.h"
#include "tarnwick/select/selector.h"
#include "test_util.h"

namespace tarnwick {
namespace {

// A change as the rows of compare_diff.jsonl write it: "changed PATH: BEFORE
// -> AFTER", "added PATH: AFTER", "removed PATH: BEFORE", values as JSON.
std::string render(const Change& c) {
  switch (c.kind) {
    case Change::Kind::kChanged:
      return "changed " + c.path + ": " + json_for_test(*c.before) + " -> " +
             json_for_test(*c.after);
    case Change::Kind::kAdded:
      EXPECT_FALSE(c.before);
      return "added " + c.path + ": " + json_for_test(*c.after);
    case Change::Kind::kRemoved:
      EXPECT_FALSE(c.after);
      return "removed " + c.path + ": " + json_for_test(*c.before);
  }
  return "?";
}

std::vector<std::string> texts(const Node& list) {
  std::vector<std::string> out;
  for (const Node& item : list.list()) out.emplace_back(item.text());
  return out;
}

CompareRules rules_of(const Node& row) {
  std::string text = "[compare]\n";
  if (const Node* key = row.find("key")) {
    text += "key = " + std::string(key->text()) + "\n";
  }
  if (const Node* ignore = row.find("ignore")) {
    text += "ignore = " + std::string(ignore->text()) + "\n";
  }
  return read_compare_rules(CheckFile::parse("row.cfg", text), "row.cfg");
}

CompareOptions options_of(const Node& row) {
  CompareOptions options;
  options.records = row.find("records") != nullptr;
  if (const Node* failed = row.find("failed")) {
    for (const Node& f : failed->list()) {
      options.failed.push_back(
          {std::stoul(std::string(f.items[0].text())), f.items[1]});
    }
  }
  return options;
}

TEST(DiffTest, FindsTheChangesOfEveryRowOfTheTable) {
  const std::vector<Value>& rows = golden_table_for_test("compare_diff");
  ASSERT_GT(rows.size(), 60u);
  for (const Value& record : rows) {
    const Node& row = record.node();
    SCOPED_TRACE(golden_text_for_test(row, "id"));
    try {
      Comparison c = compare_results(golden_member_for_test(row, "before"),
                                     golden_member_for_test(row, "after"),
                                     rules_of(row), options_of(row));
      std::vector<std::string> found;
      for (const Change& change : c.changes) {
        found.push_back(render(change));
        // Every path is a selector that reads back as itself.
        EXPECT_EQ(Selector::parse(change.path).text(), change.path);
      }
      if (const Node* changes = row.find("changes")) {
        EXPECT_EQ(found, texts(*changes));
      }
      const Node* more = row.find("more");
      EXPECT_EQ(c.more_changes,
                more ? std::stoul(std::string(more->text())) : 0);
      if (more) {
        EXPECT_EQ(c.changes.size(), kMaxChanges);
      }
      EXPECT_EQ(c.unchanged(), found.empty());
      EXPECT_EQ(c.not_compared,
                texts(golden_member_for_test(row, "not_compared")));
      EXPECT_EQ(c.warnings, texts(golden_member_for_test(row, "warnings")));
    } catch (const Error& e) {
      ADD_FAILURE() << e.what();
    }
  }
}

// What this run holds and what its --json line gives back next time compare
// equal: NaN and the infinities as null, reals in their shortest digits,
// lone surrogates as their escapes.
TEST(DiffTest, FindsNothingChangedInTheJsonLinesFormOfAResult) {
  const char* results[] = {
      R"({"a": NaN, "b": [Infinity, -Infinity], "c": 0.1, "d": 1e300})",
      R"({"t": "\ud800 \udfff x\ud83d\ude00", "\udc00": "\u2028\n\u0000"})",
      R"([12345678901234567890123, -0, 1.5e-7, 123456.789e3, true, null])",
  };
  for (const char* text : results) {
    SCOPED_TRACE(text);
    Value now = decode_json(text);
    Value then = decode_json(json_for_test(now.node()));
    Comparison c = compare_results(then.node(), now.node(), CompareRules());
    EXPECT_TRUE(c.unchanged()) << (c.changes.empty() ? "" : c.changes[0].path);
  }
}

std::string nested(std::size_t depth, const std::string& open,
                   const std::string& inner, const std::string& close) {
  std::string s;
  for (std::size_t i = 0; i < depth; ++i) s += open;
  s += inner;
  for (std::size_t i = 0; i < depth; ++i) s += close;
  return s;
}

// As deep as a reply may be, with no recursion to run out of stack.
TEST(DiffTest, ComparesResultsNestedAsDeepAsAReplyMayBe) {
  const std::size_t depth = kMaxNesting - 1;
  Value before = decode_json(nested(depth, "[", "1", "]"));
  Value after = decode_json(nested(depth, "[", "2", "]"));
  Comparison c = compare_results(before.node(), after.node(), CompareRules());
  ASSERT_EQ(c.changes.size(), 1u);
  EXPECT_EQ(c.changes[0].path.size(), 3 * depth);

  // Keys as deep, hashed and compared: the same, in another order.
  const std::string deep_key = nested(depth - 3, R"({"a": )", "1", "}");
  Value keyed_before = decode_json(R"([{"name": )" + deep_key +
                                   R"(, "v": 1}, {"name": 2, "v": 1}])");
  Value keyed_after = decode_json(R"([{"name": 2, "v": 1}, {"name": )" +
                                  deep_key + R"(, "v": 1}])");
  CompareRules rules;
  rules.key = {"name"};
  EXPECT_TRUE(compare_results(keyed_before.node(), keyed_after.node(), rules)
                  .unchanged());
}

}  // namespace
}  // namespace tarnwick
