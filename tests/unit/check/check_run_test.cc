#include "tarnwick/check/check_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fake_transport.h"
#include "tarnwick/app/operations.h"
#include "tarnwick/base/error.h"
#include "tarnwick/base/value.h"
#include "tarnwick/check/run_settings.h"
#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/notation.h"
#include "test_util.h"

namespace tarnwick {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;
using namespace std::string_literals;

const Fields kLoginFields = {
    {"action", "login"}, {"username", "admin"}, {"password", "pw"}};

// Check files in a temporary check directory, run against a FakeTransport.
class CheckRunTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(new_directory()); }

  // Starts over with an empty check directory and no traffic.
  void new_directory() {
    dir_.reset();
    dir_.emplace();
    ASSERT_FALSE(dir_->path().empty());
    new_transport();
  }
  void new_transport() { transport_ = FakeTransport(); }

  void write(const std::string& name, std::string_view text) {
    ASSERT_TRUE(write_file_for_test(dir_->path(name), text)) << name;
  }
  void write_all(const std::map<std::string, std::string>& files) {
    for (const auto& [name, text] : files) write(name, text);
  }
  std::string path(const std::string& name) const { return dir_->path(name); }

  // Queues a login reply whose CID is the given JSON.
  void login(const std::string& cid_json) {
    transport_.add_reply("{\"CID\": " + cid_json + "}");
  }
  void reply(const std::string& body) { transport_.add_reply(body); }

  Value run(const std::string& name) {
    return orvantis_api("ctl", "admin", "pw", dir_->path(), path(name),
                        transport_);
  }
  // Runs a check that must fail and returns its error.
  std::optional<Error> run_error(const std::string& name) {
    try {
      Value v = run(name);
      ADD_FAILURE() << name << " did not fail; result " << pformat(v.node());
    } catch (const Error& e) {
      return e;
    }
    return std::nullopt;
  }

  const std::vector<FakeTransport::Post>& posts() const {
    return transport_.posts();
  }
  Fields fields(std::size_t i) const {
    return i < posts().size() ? posts()[i].fields() : Fields{};
  }
  std::size_t logins() const {
    std::size_t n = 0;
    for (const auto& p : posts()) n += p.fields() == kLoginFields;
    return n;
  }

  std::optional<ScopedTempDir> dir_;
  FakeTransport transport_;
};

void expect_value(const Value& actual, const std::string& expected_json) {
  Value expected = decode_json(expected_json);
  EXPECT_TRUE(same_value(actual.node(), expected.node()))
      << "got " << pformat(actual.node()) << "want " << expected_json;
}

TEST_F(CheckRunTest, RequestFieldsAreCidThenTheSectionKeys) {
  struct Case {
    const char* name;
    const char* file;
    Fields expected;
  } cases[] = {
      {"file order, keys in lower case",
       "[orvantis]\nAction = show\nZeta = 1\nalpha = two words\n",
       {{"CID", "c1"},
        {"action", "show"},
        {"zeta", "1"},
        {"alpha", "two words"}}},
      {"a section key cid is a field of its own after CID",
       "[orvantis]\ncid = mine\naction = show\n",
       {{"CID", "c1"}, {"cid", "mine"}, {"action", "show"}}},
      // action is overridden in place; site is inherited and comes last.
      {"DEFAULT keys after the own ones",
       "[DEFAULT]\nsite = s1\naction = fallback\n"
       "[orvantis]\nname = n\naction = show\n",
       {{"CID", "c1"}, {"name", "n"}, {"action", "show"}, {"site", "s1"}}},
      {"no keys sends CID alone", "[orvantis]\n", {{"CID", "c1"}}},
      {"references are expanded",
       "[orvantis]\nbase = gw\nname = %(base)s-1\npct = 100%%\n",
       {{"CID", "c1"}, {"base", "gw"}, {"name", "gw-1"}, {"pct", "100%"}}},
      {"near-references are plain text",
       "[orvantis]\na = Output(x.cfg)\nb = output(x.cfg\nc = (x.cfg)\n",
       {{"CID", "c1"},
        {"a", "Output(x.cfg)"},
        {"b", "output(x.cfg"},
        {"c", "(x.cfg)"}}},
      {"other sections are not sent",
       "[default]\ndescription = d\n[extra]\nx = 1\n"
       "[orvantis]\naction = show\n",
       {{"CID", "c1"}, {"action", "show"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    new_transport();
    write("check.cfg", c.file);
    login("\"c1\"");
    reply("{}");
    run("check.cfg");
    ASSERT_EQ(posts().size(), 2u);
    EXPECT_EQ(posts()[0].url, "https://ctl/v1/api");
    EXPECT_EQ(fields(0), kLoginFields);
    EXPECT_EQ(posts()[1].url, "https://ctl/v1/api");
    EXPECT_EQ(fields(1), c.expected);
  }
}

TEST_F(CheckRunTest, SimpleCheckReturnsTheFilteredReply) {
  const char* kReply =
      R"({"ok": true, "gateways": [{"name": "edge-1", "state": "up"},)"
      R"( {"name": "edge-2"}]})";
  struct Case {
    const char* default_section;
    const char* reply;
    const char* expected;
  } cases[] = {
      {"", kReply, kReply},
      {"[default]\nfilters = gateways, name\n", kReply,
       R"(["edge-1", "edge-2"])"},
      // A stray "%" turns filtering off without a word.
      {"[default]\nfilters = gateways%\n", kReply, kReply},
      // DEFAULT lends its keys to default as to any other section.
      {"[DEFAULT]\nfilters = ok\n[default]\n", kReply, "true"},
      {"", "null", "null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.default_section);
    new_transport();
    write("check.cfg",
          std::string(c.default_section) + "[orvantis]\naction = show\n");
    login("\"c1\"");
    reply(c.reply);
    expect_value(run("check.cfg"), c.expected);
  }
}

TEST_F(CheckRunTest, CidIsSentByItsKind) {
  struct Case {
    const char* cid_json;
    Fields expected;
  } cases[] = {
      {"\"a b&c\"", {{"CID", "a b&c"}, {"action", "show"}}},
      {"null", {{"action", "show"}}},
      {"7", {{"CID", "7"}, {"action", "show"}}},
  };
  write("check.cfg", "[orvantis]\naction = show\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cid_json);
    new_transport();
    login(c.cid_json);
    reply("{}");
    run("check.cfg");
    EXPECT_EQ(fields(1), c.expected);
  }
}

// The referenced check "items" (no .cfg, so a suite run would not run it on
// its own) answers `referenced`; the compound check sends item = element.
TEST_F(CheckRunTest, CompoundCheckSendsOncePerElementInFilePosition) {
  struct Case {
    const char* referenced;
    // Per element, the values the field item carries (none for null).
    std::vector<std::vector<std::string>> sent;
    // The elements as they come back under "object".
    const char* objects;
  } cases[] = {
      {R"(["a", "b"])", {{"a"}, {"b"}}, R"(["a", "b"])"},
      {R"({"x": 1, "y": {"z": 2}})", {{"x"}, {"y"}}, R"(["x", "y"])"},
      // One request per code point: 1, 2, 3 and 4 bytes of UTF-8.
      {"\"h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"",
       {{"h"}, {"\xC3\xA9"}, {"\xE2\x82\xAC"}, {"\xF0\x9F\x98\x80"}},
       "[\"h\", \"\xC3\xA9\", \"\xE2\x82\xAC\", \"\xF0\x9F\x98\x80\"]"},
      {"[]", {}, "[]"},
      {"\"\"", {}, "[]"},
      {R"([7, true, null, ["p", "q"], {"k": 1, "l": 2}])",
       {{"7"}, {"True"}, {}, {"p", "q"}, {"k", "l"}},
       R"([7, true, null, ["p", "q"], {"k": 1, "l": 2}])"},
  };
  write("items", "[orvantis]\naction = list\n");
  write("main.cfg",
        "[orvantis]\naction = show\nitem = output(items)\nverbose = true\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.referenced);
    new_transport();
    login("\"outer\"");
    login("\"inner\"");
    reply(c.referenced);
    for (std::size_t i = 0; i < c.sent.size(); ++i) {
      reply("{\"n\": " + std::to_string(i) + "}");
    }
    Value result = run("main.cfg");

    ASSERT_EQ(posts().size(), 3 + c.sent.size());
    EXPECT_EQ(fields(0), kLoginFields);
    EXPECT_EQ(fields(1), kLoginFields);
    EXPECT_EQ(fields(2), (Fields{{"CID", "inner"}, {"action", "list"}}));
    Value objects = decode_json(c.objects);
    for (std::size_t i = 0; i < c.sent.size(); ++i) {
      Fields want = {{"CID", "outer"}, {"action", "show"}};
      for (const std::string& v : c.sent[i]) want.emplace_back("item", v);
      want.emplace_back("verbose", "true");
      EXPECT_EQ(fields(3 + i), want) << "element " << i;
    }
    ASSERT_EQ(result.kind(), Kind::kList);
    ASSERT_EQ(result.node().size, c.sent.size());
    for (std::size_t i = 0; i < c.sent.size(); ++i) {
      const Node& record = result.node().list()[i];
      ASSERT_EQ(record.kind, Kind::kMap);
      ASSERT_EQ(record.size, 2u);
      EXPECT_EQ(record.map()[0].name(), "object");
      EXPECT_EQ(record.map()[1].name(), "results");
      EXPECT_TRUE(same_value(record.map()[0].value, objects.node().list()[i]))
          << i;
      EXPECT_EQ(pformat(record.map()[1].value),
                "{'n': " + std::to_string(i) + "}\n");
    }
  }
}

// A referenced check that found nothing gave no data, not a text to step
// through letter by letter: the compound check fails before any element
// request. Another text is still sent one character at a time.
TEST_F(CheckRunTest, NotFoundMarkerFailsBeforeAnyElementRequest) {
  write("items", "[default]\nfilters = absent\n[orvantis]\naction = list\n");
  write("main.cfg", "[orvantis]\nitem = output(items)\n");
  login("\"outer\"");
  login("\"inner\"");
  reply(R"({"names": ["a"]})");
  std::optional<Error> e = run_error("main.cfg");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->kind(), ErrorKind::kMissingKey);
  EXPECT_EQ(std::string(e->what()),
            "the referenced check 'items' found nothing (its result is "
            "FILTER_NOT_FOUND) (in " +
                path("main.cfg") + ")");
  EXPECT_EQ(posts().size(), 3u);

  new_transport();
  login("\"outer\"");
  login("\"inner\"");
  reply(R"({"absent": "ab"})");
  reply("{}");
  reply("{}");
  Value result = run("main.cfg");
  ASSERT_EQ(posts().size(), 5u);
  EXPECT_EQ(fields(3), (Fields{{"CID", "outer"}, {"item", "a"}}));
  EXPECT_EQ(fields(4), (Fields{{"CID", "outer"}, {"item", "b"}}));
}

TEST_F(CheckRunTest, ResultThatCannotBeSteppedThroughIsATypeError) {
  const std::pair<const char*, const char*> cases[] = {
      {"7", "number"},      {"2.5", "number"}, {"true", "boolean"},
      {"false", "boolean"}, {"null", "None"},
  };
  write("items", "[orvantis]\naction = list\n");
  write("main.cfg", "[orvantis]\naction = show\nitem = output(items)\n");
  for (const auto& [referenced, type] : cases) {
    SCOPED_TRACE(referenced);
    new_transport();
    login("\"outer\"");
    login("\"inner\"");
    reply(referenced);
    std::optional<Error> e = run_error("main.cfg");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), ErrorKind::kType);
    EXPECT_NE(std::string(e->what()).find(type), std::string::npos)
        << e->what();
    EXPECT_EQ(posts().size(), 3u);  // no request of its own
  }
}

// The suite reads a file once for its description and its request: a file
// replaced after that read does not change the request.
TEST_F(CheckRunTest, RunsFromTheReadItIsGiven) {
  write("main.cfg", "[orvantis]\naction = old\n");
  const CheckFile config = CheckFile::load(path("main.cfg"));
  write("main.cfg", "[orvantis]\naction = new\n");
  login("\"c1\"");
  reply("{}");
  RunSettings settings;
  settings.controller_ip = "ctl";
  settings.username = "admin";
  settings.password = "pw";
  settings.config_dir = dir_->path();
  run_check(settings, config, path("main.cfg"), transport_);
  EXPECT_EQ(fields(1), (Fields{{"CID", "c1"}, {"action", "old"}}));
}

TEST_F(CheckRunTest, OnlyTheLastReferenceIsResolved) {
  // "one" does not exist: opening it would fail the run.
  write("two", "[orvantis]\naction = list\n");
  write("main.cfg",
        "[orvantis]\nfirst = output(one)\naction = show\n"
        "second = output(two)\n");
  login("\"outer\"");
  login("\"inner\"");
  reply(R"(["z"])");
  reply("{}");
  run("main.cfg");
  ASSERT_EQ(posts().size(), 4u);
  EXPECT_EQ(fields(2), (Fields{{"CID", "inner"}, {"action", "list"}}));
  EXPECT_EQ(fields(3), (Fields{{"CID", "outer"},
                               {"first", "output(one)"},
                               {"action", "show"},
                               {"second", "z"}}));
}

TEST_F(CheckRunTest, AbsoluteReferencedNameStandsAlone) {
  ScopedTempDir elsewhere;
  ASSERT_FALSE(elsewhere.path().empty());
  ASSERT_TRUE(
      write_file_for_test(elsewhere.path("abs"), "[orvantis]\naction = far\n"));
  write("main.cfg",
        "[orvantis]\nitem = output(" + elsewhere.path("abs") + ")\n");
  login("\"outer\"");
  login("\"inner\"");
  reply("[]");
  run("main.cfg");
  EXPECT_EQ(fields(2), (Fields{{"CID", "inner"}, {"action", "far"}}));
}

TEST_F(CheckRunTest, NestedCompoundSendsEachRecordAsAMap) {
  write("outer.cfg", "[orvantis]\naction = outer\nrow = output(middle)\n");
  write("middle",
        "[default]\nfilters = state\n"
        "[orvantis]\naction = middle\nname = output(inner)\n");
  write("inner", "[orvantis]\naction = inner\n");
  login("\"A\"");
  login("\"B\"");
  login("\"C\"");
  reply(R"(["x", "y"])");
  reply(R"({"state": "up"})");
  reply(R"({"state": "down"})");
  reply(R"({"ok": 1})");
  reply(R"({"ok": 2})");
  Value result = run("outer.cfg");
  ASSERT_EQ(posts().size(), 8u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(fields(i), kLoginFields);
  EXPECT_EQ(fields(3), (Fields{{"CID", "C"}, {"action", "inner"}}));
  EXPECT_EQ(fields(4),
            (Fields{{"CID", "B"}, {"action", "middle"}, {"name", "x"}}));
  EXPECT_EQ(fields(5),
            (Fields{{"CID", "B"}, {"action", "middle"}, {"name", "y"}}));
  const Fields as_map = {
      {"CID", "A"}, {"action", "outer"}, {"row", "object"}, {"row", "results"}};
  EXPECT_EQ(fields(6), as_map);
  EXPECT_EQ(fields(7), as_map);
  expect_value(result, R"([{"object": {"object": "x", "results": "up"},)"
                       R"(  "results": {"ok": 1}},)"
                       R"( {"object": {"object": "y", "results": "down"},)"
                       R"(  "results": {"ok": 2}}])");
}

TEST_F(CheckRunTest, FailuresStopAtTheirStep) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    std::vector<std::string> replies;
    ErrorKind kind;
    std::size_t posts;  // requests sent before the failure
    const char* message_part;
  } cases[] = {
      {"missing check file", {}, {}, ErrorKind::kFileNotFound, 0, "main.cfg"},
      {"rejected check file",
       {{"main.cfg", "action = show\n"}},
       {},
       ErrorKind::kCheckFile,
       0,
       "main.cfg:1"},
      {"no orvantis section",
       {{"main.cfg", "[default]\ndescription = d\n"}},
       {R"({"CID": "c"})"},
       ErrorKind::kMissingSection,
       1,
       "'orvantis'"},
      {"unreadable orvantis value",
       {{"main.cfg", "[orvantis]\naction = show\nbad = 100%\n"}},
       {R"({"CID": "c"})"},
       ErrorKind::kInterpolation,
       1,
       "'bad'"},
      {"missing referenced file",
       {{"main.cfg", "[orvantis]\nitem = output(nowhere)\n"}},
       {R"({"CID": "c"})"},
       ErrorKind::kFileNotFound,
       1,
       "nowhere"},
      // Cut at the NUL, the name would be main.cfg itself: no cycle.
      {"referenced name holding a NUL byte",
       {{"main.cfg", "[orvantis]\nitem = output(main.cfg\0x)\n"s}},
       {R"({"CID": "c"})"},
       ErrorKind::kFileNotFound,
       1,
       "no such file"},
      {"referenced path through a regular file",
       {{"main.cfg", "[orvantis]\nitem = output(main.cfg/x)\n"}},
       {R"({"CID": "c"})"},
       ErrorKind::kFileNotFound,
       1,
       "main.cfg/x"},
      {"rejected referenced file",
       {{"main.cfg", "[orvantis]\nitem = output(broken)\n"},
        {"broken", "[orvantis]\nno separator\n"}},
       {R"({"CID": "c"})"},
       ErrorKind::kCheckFile,
       1,
       "broken:2"},
      {"empty referenced name names the directory",
       {{"main.cfg", "[orvantis]\nitem = output()\n"}},
       {R"({"CID": "c"})"},
       ErrorKind::kFileAccess,
       1,
       ""},
      {"reply that is not JSON",
       {{"main.cfg", "[orvantis]\naction = show\n"}},
       {R"({"CID": "c"})", "<html>busy</html>"},
       ErrorKind::kInvalidReply,
       2,
       ""},
      {"reply of the referenced check that is not JSON",
       {{"main.cfg", "[orvantis]\nitem = output(items)\n"},
        {"items", "[orvantis]\naction = list\n"}},
       {R"({"CID": "c"})", R"({"CID": "d"})", "not json"},
       ErrorKind::kInvalidReply,
       3,
       ""},
      {"missing key while filtering",
       {{"main.cfg",
         "[default]\nfilters = rows, name\n[orvantis]\naction = show\n"}},
       {R"({"CID": "c"})", R"({"rows": [{"name": 1}, {}]})"},
       ErrorKind::kMissingKey,
       2,
       "name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(new_directory());
    write_all(c.files);
    for (const std::string& r : c.replies) reply(r);
    std::optional<Error> e = run_error("main.cfg");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), c.kind) << e->what();
    EXPECT_NE(std::string(e->what()).find(c.message_part), std::string::npos)
        << e->what();
    EXPECT_EQ(posts().size(), c.posts);
    EXPECT_EQ(transport_.pending(), 0u);
  }
}

// A failed login names the check it was for; the member that holds a
// session id in the wrong case is named, its value never shown.
TEST_F(CheckRunTest, FailedLoginNamesItsCheck) {
  write("main.cfg", "[orvantis]\nitem = output(items)\n");
  write("items", "[orvantis]\naction = list\n");
  for (std::size_t good_logins : {0u, 1u}) {
    SCOPED_TRACE(good_logins);
    new_transport();
    if (good_logins) login("\"c\"");
    reply("{\"cid\": \"s3ss10n\"}");
    std::optional<Error> e = run_error("main.cfg");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), ErrorKind::kLoginFailed);
    EXPECT_EQ(std::string(e->what()),
              "the controller at 'https://ctl/v1/api' did not accept the "
              "login of 'admin': HTTP 200 application/json; the reply has no "
              "member \"CID\", only 'cid' (in " +
                  path("main.cfg") + (good_logins ? " <- items)" : ")"));
    EXPECT_EQ(posts().size(), good_logins + 1);
  }
}

TEST_F(CheckRunTest, ErrorsNameTheChainOfChecks) {
  write("a.cfg", "[orvantis]\naction = a\nx = output(b)\n");
  write("b",
        "[default]\nfilters = rows, name\n"
        "[orvantis]\naction = b\nx = output(c)\n");
  write("c", "[orvantis]\naction = c\n");
  struct Case {
    const char* name;
    std::vector<std::string> replies;  // after the three logins
    ErrorKind kind;
    std::string suffix;
  } cases[] = {
      {"innermost reply",
       {"oops"},
       ErrorKind::kInvalidReply,
       " (in " + path("a.cfg") + " <- b <- c)"},
      {"filter of the middle check",
       {R"(["v"])", R"({"rows": [{}]})"},
       ErrorKind::kMissingKey,
       " (in " + path("a.cfg") + " <- b, element 1 of 1 'v')"},
      // b's one record is the element a sends its own request for.
      {"reply of the outermost check",
       {R"(["v"])", R"({"rows": []})", "<"},
       ErrorKind::kInvalidReply,
       " (in " + path("a.cfg") + ", element 1 of 1 a map)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    new_transport();
    for (const char* cid : {"\"1\"", "\"2\"", "\"3\""}) login(cid);
    for (const std::string& r : c.replies) reply(r);
    std::optional<Error> e = run_error("a.cfg");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), c.kind) << e->what();
    EXPECT_TRUE(std::string(e->what()).ends_with(c.suffix)) << e->what();
  }
}

// Element requests side by side, ending in the order furthest from their
// own, come to what they come to one after another: the records in element
// order; the first failure in element order fails the check, with no
// request sent once it has ended; noted failures are the same ones.
TEST_F(CheckRunTest, ElementRequestsSideBySideEndAsOneAfterAnother) {
  write("a.cfg", "[orvantis]\naction = show\nname = output(items)\n");
  write("items", "[orvantis]\naction = list\n");
  const std::string kUp = R"({"up": 1})";
  struct Case {
    const char* name;
    std::string elements;  // the referenced check's reply
    // One per element that is sent, in element order: a reply, or "" for a
    // connection failure.
    std::vector<std::string> replies;
    std::size_t first_failure;  // element, or the count for none
  } cases[] = {
      {"every element answered",
       R"(["e0", "e1", "e2", "e3", "e4", "e5"])",
       {kUp, "[1]", kUp, R"({"a": "\u00e9"})", kUp, "{}"},
       6},
      {"two failures",
       R"(["e0", "e1", "e2", "e3", "e4", "e5"])",
       {kUp, "", kUp, "<html>", kUp, kUp},
       1},
      {"the last one fails",
       R"(["e0", "e1", "e2", "e3"])",
       {kUp, kUp, kUp, ""},
       3},
      {"an element that cannot be sent",
       R"(["e0", "\ud800", "e2", "e3"])",
       {kUp, "<html>", kUp},
       1},
  };
  constexpr std::size_t kInFlight = 3;
  for (const Case& c : cases) {
    for (const bool noted : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (noted ? ", noted" : ""));
      // What a run comes to, and how many element requests it sent.
      auto outcome = [&](std::size_t in_flight) {
        new_transport();
        if (in_flight > 1) transport_.end_newest_first();
        login("\"c1\"");
        login("\"c2\"");
        reply(c.elements);
        for (const std::string& r : c.replies) {
          if (r.empty()) {
            transport_.add_failure(ErrorKind::kConnection, "refused");
          } else {
            reply(r);
          }
        }
        RunSettings settings;
        settings.controller_ip = "ctl";
        settings.username = "admin";
        settings.password = "pw";
        settings.config_dir = dir_->path();
        settings.in_flight = in_flight;
        std::vector<ElementFailure> failures;
        std::string text;
        try {
          text = pformat(run_check(settings, CheckFile::load(path("a.cfg")),
                                   path("a.cfg"), transport_,
                                   noted ? &failures : nullptr)
                             .node());
        } catch (const Error& e) {
          text = std::string(error_kind_name(e.kind())) + ": " + e.what();
        }
        for (const ElementFailure& f : failures) {
          text += std::to_string(f.index) + " " + pformat(f.element.node()) +
                  error_kind_name(f.error.kind()) + ": " + f.error.what() +
                  "\n";
        }
        return std::make_pair(text, posts().size() - 3);
      };
      const auto [one_by_one, sent_one_by_one] = outcome(1);
      const auto [side_by_side, sent_side_by_side] = outcome(kInFlight);
      EXPECT_EQ(side_by_side, one_by_one);
      if (noted || c.first_failure == c.replies.size()) {
        EXPECT_EQ(sent_side_by_side, sent_one_by_one);
      } else {
        EXPECT_LE(sent_side_by_side, c.first_failure + kInFlight);
      }
    }
  }
}

TEST_F(CheckRunTest, ReferenceCycleFailsBeforeTheNextLogin) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    std::vector<std::pair<std::string, std::string>> links;  // {target, link}
    bool hard;
    std::string chain;  // after the first file's path
    std::size_t logins;
  } cases[] = {
      {"self",
       {{"a.cfg", "[orvantis]\nx = output(a.cfg)\n"}},
       {},
       false,
       " -> a.cfg",
       1},
      {"a, b, a",
       {{"a.cfg", "[orvantis]\nx = output(b)\n"},
        {"b", "[orvantis]\nx = output(a.cfg)\n"}},
       {},
       false,
       " -> b -> a.cfg",
       2},
      {"back into the middle of the chain",
       {{"a.cfg", "[orvantis]\nx = output(b)\n"},
        {"b", "[orvantis]\nx = output(c)\n"},
        {"c", "[orvantis]\nx = output(b)\n"}},
       {},
       false,
       " -> b -> c -> b",
       3},
      {"through a symbolic link",
       {{"a.cfg", "[orvantis]\nx = output(b)\n"},
        {"b", "[orvantis]\nx = output(link)\n"}},
       {{"a.cfg", "link"}},
       false,
       " -> b -> link",
       2},
      {"through a hard link",
       {{"a.cfg", "[orvantis]\nx = output(b)\n"},
        {"b", "[orvantis]\nx = output(same)\n"}},
       {{"a.cfg", "same"}},
       true,
       " -> b -> same",
       2},
      {"through a path spelled differently",
       {{"a.cfg", "[orvantis]\nx = output(./a.cfg)\n"}},
       {},
       false,
       " -> ./a.cfg",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(new_directory());
    write_all(c.files);
    for (const auto& [target, link_name] : c.links) {
      int rc = c.hard ? ::link(path(target).c_str(), path(link_name).c_str())
                      : ::symlink(target.c_str(), path(link_name).c_str());
      ASSERT_EQ(rc, 0) << link_name;
    }
    for (std::size_t i = 0; i < c.logins; ++i) login("\"c\"");
    std::optional<Error> e = run_error("a.cfg");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), ErrorKind::kReferenceCycle);
    EXPECT_EQ(std::string(e->what()),
              "checks refer to each other: " + path("a.cfg") + c.chain);
    EXPECT_EQ(posts().size(), c.logins);
    EXPECT_EQ(logins(), c.logins);
  }
}

TEST_F(CheckRunTest, LongChainRunsOneLoginPerFile) {
  // c0.cfg -> c1 -> ... -> c999: each level wraps the one below it, so the
  // result nests 999 records deep.
  constexpr std::size_t kDepth = 1000;
  for (std::size_t i = 0; i + 1 < kDepth; ++i) {
    write(i == 0 ? "c0.cfg" : "c" + std::to_string(i),
          "[orvantis]\naction = step\nnext = output(c" + std::to_string(i + 1) +
              ")\n");
  }
  write("c" + std::to_string(kDepth - 1), "[orvantis]\naction = leaf\n");
  for (std::size_t i = 0; i < kDepth; ++i) {
    login("\"cid-" + std::to_string(i) + "\"");
  }
  reply(R"(["x"])");
  for (std::size_t i = 0; i + 1 < kDepth; ++i) reply("{}");

  const std::size_t descriptors = count_open_descriptors_for_test();
  {
    Value result = run("c0.cfg");
    ASSERT_EQ(result.kind(), Kind::kList);
    ASSERT_EQ(result.node().size, 1u);
    // Each record's "object" is the record of the check below it.
    const Node* node = &result.node().list()[0];
    std::size_t depth = 0;
    while (node->is_map() && depth < kDepth) {
      node = &node->map()[0].value;
      ++depth;
    }
    EXPECT_EQ(depth, kDepth - 1);
    ASSERT_TRUE(node->is_text());
    EXPECT_EQ(node->text(), "x");
  }
  EXPECT_EQ(count_open_descriptors_for_test(), descriptors);

  ASSERT_EQ(posts().size(), kDepth + 1 + (kDepth - 1));
  EXPECT_EQ(logins(), kDepth);
  EXPECT_EQ(fields(kDepth),
            (Fields{{"CID", "cid-" + std::to_string(kDepth - 1)},
                    {"action", "leaf"}}));
  EXPECT_EQ(fields(kDepth + 1),
            (Fields{{"CID", "cid-" + std::to_string(kDepth - 2)},
                    {"action", "step"},
                    {"next", "x"}}));
  EXPECT_EQ(posts().back().fields(), (Fields{{"CID", "cid-0"},
                                             {"action", "step"},
                                             {"next", "object"},
                                             {"next", "results"}}));
}

}  // namespace
}  // namespace tarnwick
