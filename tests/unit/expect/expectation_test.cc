#include "tarnwick/expect/expectation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/checkfile/check_file.h"
#include "test_util.h"

namespace tarnwick {
namespace {

std::string describe(const Operand& o) {
  switch (o.kind) {
    case Operand::Kind::kNumber:
      return "number:" + quote_text(o.text);
    case Operand::Kind::kText:
      return "text:" + quote_text(o.text);
    case Operand::Kind::kTrue:
      return "true";
    case Operand::Kind::kFalse:
      return "false";
    case Operand::Kind::kNull:
      return "null";
  }
  return "?";
}

// The parsed form in the notation of expect_parse.jsonl:
// "count <gateways> [*] >= number:'12'", members in angle brackets.
std::string describe(const Expectation& e) {
  std::string out;
  if (e.form == Expectation::Form::kCount) out += "count ";
  if (e.form == Expectation::Form::kEvery) out += "every ";
  std::string steps;
  for (const Selector::Step& s : e.selector.steps()) {
    if (!steps.empty()) steps += ' ';
    switch (s.kind) {
      case Selector::Step::Kind::kMember:
        steps += "<" + s.name + ">";
        break;
      case Selector::Step::Kind::kIndex:
        steps += "[" + std::to_string(s.index) + "]";
        break;
      case Selector::Step::Kind::kEach:
        steps += "[*]";
        break;
      case Selector::Step::Kind::kWhere:
        steps += "[" + s.name + "=" + describe(s.value) + "]";
        break;
    }
  }
  out += steps.empty() ? "." : steps;
  if (e.form == Expectation::Form::kExists) return out + " exists";
  if (e.form == Expectation::Form::kAbsent) return out + " absent";
  out += " " + std::string(op_name(e.op));
  for (std::size_t i = 0; i < e.values.size(); ++i) {
    out += (i == 0 ? " " : " | ") + describe(e.values[i]);
  }
  return out;
}

TEST(ExpectationTest, ParsesEveryRowOfTheTable) {
  const std::vector<Value>& rows = golden_table_for_test("expect_parse");
  ASSERT_GT(rows.size(), 100u);
  for (const Value& row : rows) {
    const Node& r = row.node();
    SCOPED_TRACE(golden_text_for_test(r, "id"));
    const std::string name = golden_text_for_test(r, "name");
    const std::string text = golden_text_for_test(r, "text");
    if (const Node* error = r.find("error")) {
      try {
        parse_expectation(name, text);
        ADD_FAILURE() << "no error for " << quote_text(text);
      } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::kBadExpectation);
        EXPECT_EQ(std::string(e.what()), error->text());
      }
      continue;
    }
    try {
      Expectation e = parse_expectation(name, text);
      EXPECT_EQ(describe(e), golden_text_for_test(r, "parsed"));
      EXPECT_EQ(e.expected, golden_text_for_test(r, "expected"));
      EXPECT_EQ(e.name, name);
      EXPECT_EQ(e.text, text);
      const Node* warning = r.find("warning");
      EXPECT_EQ(expectation_warning(e),
                warning ? std::string(warning->text()) : "");
    } catch (const Error& e) {
      ADD_FAILURE() << e.what();
    }
  }
}

TEST(ExpectationTest, BoundsTheStepsOfASelector) {
  std::string selector = "a";
  for (std::size_t i = 1; i < kMaxSelectorSteps; ++i) selector += "[0]";
  EXPECT_EQ(
      parse_expectation("x", selector + " exists").selector.steps().size(),
      kMaxSelectorSteps);
  try {
    parse_expectation("x", selector + "[0] exists");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, 48),
              "'x': a selector of more than 1000 steps in 'a[0]");
  }
}

// What read_expectations makes of a check file: the name and text of each
// expectation with its line, or the error.
std::string read_all(const std::string& file_text) {
  try {
    std::string out;
    CheckFile config = CheckFile::parse("checks/a.cfg", file_text);
    for (const Expectation& e : read_expectations(config, "checks/a.cfg")) {
      out += e.name + "@" + std::to_string(e.line) + "=" + quote_text(e.text) +
             " ";
    }
    return out;
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kBadExpectation) << e.what();
    return e.what();
  }
}

TEST(ExpectationTest, ReadsTheOwnKeysOfTheExpectSection) {
  EXPECT_EQ(read_all("[DEFAULT]\n"
                     "inherited = a == 1\n"
                     "base = gateways[*]\n"
                     "[orvantis]\n"
                     "action = x\n"
                     "[expect]\n"
                     "Second = b == 2\n"
                     "first = %(base)s.state == up\n"
                     "pct = load == 50%%\n"
                     "multi = gateways[*].state\n"
                     "  == up\n"
                     "ref = x == %(second)s\n"),
            "second@7='b == 2' first@8='gateways[*].state == up' "
            "pct@9='load == 50%' multi@10='gateways[*].state\\n== up' "
            "ref@12='x == b == 2' ");
  EXPECT_EQ(read_all("[orvantis]\n[default]\nx = a == 1\n"), "");
  EXPECT_EQ(read_all("[orvantis]\n[Expect]\nx = a\n"), "");
  EXPECT_EQ(read_all("[orvantis]\n[expect]\n"), "");
  EXPECT_EQ(read_all("[expect]\nok = a == 1\nbad = a =~ b\n"),
            "'bad': unknown operator '=~' in 'a =~ b' (in checks/a.cfg:3)");
  EXPECT_EQ(read_all("[expect]\n\ncpu = load < 80%\n"),
            "'cpu': a stray '%' in 'load < 80%'; write %% for a percent sign "
            "(in checks/a.cfg:3)");
  EXPECT_EQ(read_all("[expect]\nx = %(nope)s == 1\n"),
            "'x': cannot read 'x' in section 'expect': the value of 'x' "
            "refers to the missing key 'nope' (in checks/a.cfg:2)");
  EXPECT_EQ(read_all("[expect]\nempty =\n"),
            "'empty': no expectation; write NAME = EXPECTATION "
            "(in checks/a.cfg:2)");
}

}  // namespace
}  // namespace tarnwick
