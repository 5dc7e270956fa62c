#include "tarnwick/expect/judge.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/expect/expectation.h"
#include "tarnwick/filter/filter.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/verdict_line.h"
#include "test_util.h"

namespace tarnwick {
namespace {

// A verdict as the report's line shows it after "expect NAME: ", written by
// the report's own writer, so that the table tests what operators read.
std::string render(const Verdict& v) {
  const std::string line = verdict_line(v, "");
  return line.substr(("expect " + v.name + ": ").size());
}

struct Row {
  std::string id;
  std::string result;  // JSON
  std::string expect;
  std::string verdict;
  long selected = -1;  // -1: not checked
  ElementNames names;
};

// How a row's paths name elements: "keys", "records", "failed".
ElementNames names_of(const Node& r) {
  ElementNames names;
  if (const Node* keys = r.find("keys")) {
    for (const Node& key : keys->list()) names.keys.emplace_back(key.text());
  }
  names.records = r.find("records") != nullptr;
  if (const Node* failed = r.find("failed")) {
    for (const Node& index : failed->list()) {
      names.failed.push_back(std::stoul(std::string(index.text())));
    }
  }
  return names;
}

void check(const Row& row) {
  SCOPED_TRACE(row.id + ": " + row.expect);
  try {
    Value result = decode_json(row.result);
    Expectation e = parse_expectation("x", row.expect);
    Verdict v = judge(e, result.node(), row.names);
    EXPECT_EQ(render(v), row.verdict);
    if (row.selected >= 0) {
      EXPECT_EQ(v.selected, std::size_t(row.selected));
    }
    EXPECT_EQ(v.name, "x");
    EXPECT_EQ(v.text, row.expect);
  } catch (const Error& e) {
    ADD_FAILURE() << e.what();
  }
}

TEST(JudgeTest, JudgesEveryRowOfTheTable) {
  const std::vector<Value>& rows = golden_table_for_test("expect_judge");
  ASSERT_GT(rows.size(), 100u);
  for (const Value& record : rows) {
    const Node& r = record.node();
    Row row{golden_text_for_test(r, "id"),
            golden_text_for_test(r, "result"),
            golden_text_for_test(r, "expect"),
            golden_text_for_test(r, "verdict"),
            -1,
            names_of(r)};
    if (const Node* selected = r.find("selected")) {
      row.selected = std::stol(std::string(selected->text()));
    }
    check(row);
  }
}

// Judged together, expectations get the verdicts they get one by one: every
// expectation of the table on every result of the table, many of them going
// the same way into the same list.
TEST(JudgeTest, JudgesTogetherAsOneByOne) {
  const std::vector<Value>& rows = golden_table_for_test("expect_judge");
  std::vector<Expectation> expectations;
  for (const Value& record : rows) {
    expectations.push_back(
        parse_expectation("x", golden_text_for_test(record.node(), "expect")));
  }
  for (const Value& record : rows) {
    const Value result =
        decode_json(golden_text_for_test(record.node(), "result"));
    const ElementNames names = names_of(record.node());
    const std::vector<Verdict> together =
        judge_all(expectations, result.node(), names);
    ASSERT_EQ(together.size(), expectations.size());
    for (std::size_t i = 0; i < expectations.size(); ++i) {
      SCOPED_TRACE(golden_text_for_test(record.node(), "id") + ": " +
                   expectations[i].text);
      const Verdict alone = judge(expectations[i], result.node(), names);
      EXPECT_EQ(render(together[i]), render(alone));
      EXPECT_EQ(together[i].selected, alone.selected);
    }
  }
}

// Patterns that take a backtracking engine exponential time on a long text
// take RE2 linear time.
TEST(JudgeTest, JudgesPatternsInLinearTime) {
  const std::string text(100000, 'a');
  const std::string result = R"({"t": ")" + text + R"("})";
  // The report shows the first 120 characters of the value.
  check({"backtracking",
         result,
         "t ~ (a+)+b",
         "FAILS: t is '" + text.substr(0, 119) + "... (expected ~ (a+)+b)",
         1,
         {}});
  check({"backtracking", result, "t ~ (a|aa)*(a|aa)*", "holds", 1, {}});
}

// What a filter writes for a key a map lacks is a hole to the judge.
TEST(JudgeTest, TakesTheMarkerTheFiltersWrite) {
  const Value filtered = filter_results(
      decode_json(R"([{"name": "a", "state": "up"}, {"name": "b"}])"),
      {"name & state"});
  const Verdict v =
      judge(parse_expectation("x", "[*].state exists"), filtered.node());
  EXPECT_EQ(render(v),
            "FAILS: [1].state is absent, marked 'FILTER_NOT_FOUND' (expected "
            "exists)");
}

}  // namespace
}  // namespace tarnwick
