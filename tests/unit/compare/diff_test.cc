#include "tarnwick/compare/diff.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "compare_reference.h"
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

// Where compare_results differs from the plain reference, both ways.
std::string difference(const Node& before, const Node& after,
                       const CompareRules& rules,
                       const CompareOptions& options) {
  std::string forth = reference::difference_from_reference(
      before, after, rules, options,
      compare_results(before, after, rules, options));
  if (!forth.empty()) return forth;
  CompareOptions back_options = options;
  back_options.failed.clear();
  return reference::difference_from_reference(
      after, before, rules, back_options,
      compare_results(after, before, rules, back_options));
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
      EXPECT_EQ(difference(golden_member_for_test(row, "before"),
                           golden_member_for_test(row, "after"), rules_of(row),
                           options_of(row)),
                "");
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

// Results and their changed versions in the shapes that the fast paths of
// the comparison take (maps of one shape, keyed lists in place, equal
// scalars) and in those that leave them (members renamed, elements moved,
// added, removed, keys held twice), each held against the reference.
class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  int pick(int n) { return static_cast<int>(rng_() % n); }

  std::string scalar() {
    static const char* const kScalars[] = {"1",
                                           "1.0",
                                           "2",
                                           "\"a\"",
                                           "\"b\"",
                                           "null",
                                           "true",
                                           "false",
                                           "12345678901234567890",
                                           "\"FILTER_NOT_FOUND\"",
                                           "1e2",
                                           "100"};
    return kScalars[pick(12)];
  }

  // A gateway as a controller lists it; changed, some of its values are
  // others.
  std::string element(int i, bool changed) {
    static const char* const kNames[] = {"\"a\"", "\"b\"", "\"c\"",     "\"d\"",
                                         "1",     "[1]",   "{\"k\": 1}"};
    std::string name = kNames[(i + (changed && pick(6) == 0 ? 1 : 0)) % 7];
    if (pick(8) == 0) return scalar();
    std::string e = "{";
    if (pick(10) != 0) e += "\"name\": " + name + ", ";
    if (pick(6) == 0) e += "\"id\": " + scalar() + ", ";
    e += "\"state\": " + (changed && pick(4) == 0 ? scalar() : "\"up\"");
    e += ", \"v\": " + (changed && pick(4) == 0 ? scalar() : "1");
    if (pick(5) == 0) {
      e += ", \"x\": [" + (changed && pick(3) == 0 ? scalar() : "1") + ", 2]";
    }
    return e + "}";
  }

  // Two lists of elements, the second this run's.
  std::pair<std::string, std::string> lists() {
    std::vector<int> before, after;
    const int n = pick(6);
    for (int i = 0; i < n; ++i) before.push_back(pick(4) == 0 ? pick(6) : i);
    after = before;
    if (pick(3) == 0) std::shuffle(after.begin(), after.end(), rng_);
    if (pick(3) == 0 && !after.empty()) after.erase(after.begin() + pick(n));
    if (pick(3) == 0) after.insert(after.begin(), pick(6));
    const unsigned seed = rng_();
    std::string b = "[", a = "[";
    for (std::size_t i = 0; i < before.size(); ++i) {
      rng_.seed(seed + before[i]);
      b += (i ? ", " : "") + element(before[i], false);
    }
    for (std::size_t i = 0; i < after.size(); ++i) {
      rng_.seed(seed + after[i]);
      a += (i ? ", " : "") + element(after[i], pick(3) == 0);
    }
    rng_.seed(seed);
    return {b + "]", a + "]"};
  }

  std::pair<std::string, std::string> results() {
    const auto [b, a] = lists();
    const std::string other = pick(2) ? "\"site\"" : "\"sitE\"";
    std::string before = "{\"gw\": " + b + ", \"site\": 1, \"n\": 2}";
    std::string after = "{\"gw\": " + a + ", " + other +
                        ": 1, \"n\": " + (pick(2) ? "2" : "3") + "}";
    if (pick(4) == 0) return {b, a};
    return {before, after};
  }

  CompareRules rules() {
    static const char* const kKeys[] = {"", "name", "name, id", "id"};
    static const char* const kIgnore[] = {
        "",       "v",          "gw[*].state", "gw[name=a].v",
        "gw[-1]", "gw[0].x[1]", "[*].v, n",    "gw[name=\"1\"]"};
    std::string text = "[compare]\n";
    if (const char* key = kKeys[pick(4)]; *key) {
      text += "key = " + std::string(key) + "\n";
    }
    if (const char* ignore = kIgnore[pick(8)]; *ignore) {
      text += "ignore = " + std::string(ignore) + "\n";
    }
    return read_compare_rules(CheckFile::parse("g.cfg", text), "g.cfg");
  }

 private:
  std::mt19937 rng_;
};

TEST(DiffTest, AgreesWithThePlainReference) {
  Generator g(28);
  for (int round = 0; round < 3000; ++round) {
    const auto [before_text, after_text] = g.results();
    const CompareRules rules = g.rules();
    CompareOptions options;
    options.records = g.pick(5) == 0;
    SCOPED_TRACE(before_text + " -> " + after_text + " with key " +
                 (rules.key.empty() ? "" : rules.key[0]) + ", ignore " +
                 (rules.ignore.empty() ? "" : rules.ignore[0]));
    const Value before = decode_json(before_text);
    const Value after = decode_json(after_text);
    ASSERT_EQ(difference(before.node(), after.node(), rules, options), "");
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
