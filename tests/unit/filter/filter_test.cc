#include "tarnwick/filter/filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/notation.h"
#include "test_util.h"

namespace tarnwick {
namespace {

const Node& member(const Node& map, std::string_view key) {
  const Node* v = map.find(key);
  if (v == nullptr) throw std::runtime_error("no member " + std::string(key));
  return *v;
}

// One line of filter.jsonl.
struct Vector {
  std::string id;
  std::string reply;
  std::vector<std::string> filters;
  Value result;  // the expected value's JSON text, or {"error", "key"}
};

std::map<std::string, std::vector<Vector>> load_vectors() {
  std::map<std::string, std::vector<Vector>> groups;
  for (const Value& v : golden_table_for_test("filter")) {
    Vector vec;
    vec.id = std::string(member(v.node(), "id").text());
    vec.reply = std::string(member(v.node(), "reply").text());
    for (const Node& f : member(v.node(), "filters").list()) {
      vec.filters.emplace_back(f.text());
    }
    vec.result = v.child(member(v.node(), "result"));
    groups[std::string(member(v.node(), "group").text())].push_back(
        std::move(vec));
  }
  return groups;
}

const std::map<std::string, std::vector<Vector>>& vectors() {
  static const auto* groups =
      new std::map<std::string, std::vector<Vector>>(load_vectors());
  return *groups;
}

const char* const kGroups[] = {
    "worked-example", "empty-filter-list", "empty-list",    "empty-map",
    "null-value",     "scalar-reply",      "white-space",   "repeated-key",
    "empty-key",      "no-index",          "key-order",     "untrimmed",
    "missing-key",    "type-failure",      "first-failure", "marker",
    "chain",          "controller-shaped", "random",
};

TEST(FilterTest, VectorGroupsAreAllCovered) {
  std::set<std::string> listed(std::begin(kGroups), std::end(kGroups));
  for (const auto& [group, cases] : vectors()) {
    EXPECT_TRUE(listed.count(group)) << "group not tested: " << group;
  }
  EXPECT_EQ(listed.size(), vectors().size());
}

class FilterVectorTest : public testing::TestWithParam<const char*> {};

TEST_P(FilterVectorTest, MatchesExpectation) {
  auto found = vectors().find(GetParam());
  ASSERT_NE(found, vectors().end());
  for (const Vector& vec : found->second) {
    SCOPED_TRACE(vec.id);
    Value reply = decode_json(vec.reply);
    const Node& expected = vec.result.node();
    if (expected.is_text()) {
      Value want = decode_json(std::string(expected.text()));
      Value got = filter_results(reply, vec.filters);
      EXPECT_TRUE(same_value(got.node(), want.node()))
          << "got " << pformat(got.node()) << "want " << pformat(want.node());
      continue;
    }
    std::string_view error = member(expected, "error").text();
    try {
      Value got = filter_results(reply, vec.filters);
      ADD_FAILURE() << "no error, got " << pformat(got.node());
    } catch (const Error& e) {
      if (error == "missing_key") {
        EXPECT_EQ(e.kind(), ErrorKind::kMissingKey);
        std::string key = quote_text(member(expected, "key").text());
        EXPECT_NE(std::string(e.what()).find(key), std::string::npos)
            << e.what() << " does not name " << key;
      } else {
        EXPECT_EQ(error, "type");
        EXPECT_EQ(e.kind(), ErrorKind::kType) << e.what();
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Groups, FilterVectorTest, testing::ValuesIn(kGroups),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

constexpr char kReply[] =
    R"({"ok": true, "gateways": [{"name": "edge-1", "state": "up"},)"
    R"( {"name": "edge-2", "size": "large"}]})";

TEST(FilterTest, NoExpressionReturnsTheSameValue) {
  Value reply = decode_json(kReply);
  Value got = filter_results(reply, {});
  EXPECT_EQ(got.storage(), reply.storage());
  EXPECT_EQ(got.node().members, reply.node().members);
}

TEST(FilterTest, LeavesInputUnchangedAndSharesItsSubtrees) {
  Value reply = decode_json(kReply);
  const Node& gateways = member(reply.node(), "gateways");

  // A single-key expression on a map passes on the subtree itself.
  Value selected = filter_results(reply, {"gateways"});
  EXPECT_EQ(selected.node().items, gateways.items);

  Value built = filter_results(reply, {"gateways", "name & state"});
  ASSERT_TRUE(built.node().is_list());
  ASSERT_EQ(built.node().size, 2u);
  EXPECT_EQ(member(built.node().items[0], "name").chars,
            member(gateways.items[0], "name").chars);

  EXPECT_TRUE(same_value(reply.node(), decode_json(kReply).node()));

  // The results keep the reply's storage alive on their own.
  reply = Value();
  Value want =
      decode_json(R"([{"name": "edge-1", "state": "up"},)"
                  R"( {"name": "edge-2", "state": "FILTER_NOT_FOUND"}])");
  EXPECT_TRUE(same_value(built.node(), want.node()));
  EXPECT_EQ(member(selected.node().items[1], "size").text(), "large");
}

TEST(FilterTest, FailureMessagesNameKeyAndType) {
  struct Case {
    const char* reply;
    std::vector<std::string> filters;
    ErrorKind kind;
    const char* message;
  };
  const Case cases[] = {
      {kReply,
       {"gateways", " state "},
       ErrorKind::kMissingKey,
       "'state' is missing from list element 2 of 2"},
      {"[1]", {"a"}, ErrorKind::kType, "cannot look up 'a' in a number"},
      {"[2.5]", {"a & b"}, ErrorKind::kType, "cannot look up 'a' in a number"},
      {"[[1]]", {"0"}, ErrorKind::kType, "cannot look up '0' in a list"},
      {R"(["x"])", {" k "}, ErrorKind::kType, "cannot look up 'k' in a text"},
      {"[null]", {"a"}, ErrorKind::kType, "cannot look up 'a' in None"},
      {"[true]", {"a"}, ErrorKind::kType, "cannot look up 'a' in True"},
      {"[false]", {"a&b"}, ErrorKind::kType, "cannot look up 'a' in False"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    try {
      filter_results(decode_json(c.reply), c.filters);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), c.kind);
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

// {"a": {"a": ... "end" ...}} as deep as a reply may nest.
TEST(FilterTest, AppliesAsManyExpressionsAsTheReplyIsDeep) {
  ValueBuilder builder;
  Node v = builder.text("end");
  for (std::size_t i = 0; i < kMaxNesting; ++i) {
    Member m{builder.text("a"), v};
    v = builder.map({&m, 1});
  }
  Value reply = builder.finish(v);
  std::vector<std::string> filters(kMaxNesting, "a");
  EXPECT_EQ(filter_results(reply, filters).node().text(), "end");
  filters.push_back("a");
  EXPECT_EQ(filter_results(reply, filters).kind(), Kind::kNull);
}

}  // namespace
}  // namespace tarnwick
