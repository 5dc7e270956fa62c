#include "tarnwick/checkfile/check_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/json/json.h"
#include "test_util.h"

namespace tarnwick {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;
constexpr const char* kUnreadable = "<unreadable>";

// The keys and values of a section as a caller sees them.
Pairs values_of(const CheckFile& file, const std::string& section) {
  Pairs pairs;
  for (const std::string& key : file.keys(section)) {
    pairs.emplace_back(key, file.find(section, key).value_or(kUnreadable));
  }
  return pairs;
}

// The message of the check-file error that parsing throws, or "".
std::string parse_error(std::string_view text) {
  try {
    CheckFile::parse("t.cfg", text);
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kCheckFile) << e.what();
    return e.what();
  }
  return "";
}

std::string text_of(const Node* n) {
  return n ? std::string(n->text()) : "<missing>";
}

class GoldenTest : public testing::TestWithParam<std::string> {};

TEST_P(GoldenTest, ReaderAgreesWithEveryVectorOfTheGroup) {
  const std::vector<Value>& cases = golden_table_for_test("checkfile");
  int seen = 0;
  for (const Value& record : cases) {
    const Node& c = record.node();
    if (text_of(c.find("group")) != GetParam()) continue;
    ++seen;
    SCOPED_TRACE(text_of(c.find("id")));
    std::string text = text_of(c.find("text"));
    const Node& expect = *c.find("expect");
    if (const Node* kind = expect.find("error")) {
      std::string wanted(kind->text());
      std::replace(wanted.begin(), wanted.end(), '_', ' ');
      if (wanted == "duplicate option") wanted = "duplicate key";
      std::string message = parse_error(text);
      EXPECT_TRUE(message.starts_with("t.cfg:")) << message;
      EXPECT_NE(message.find(": " + wanted), std::string::npos) << message;
      continue;
    }
    CheckFile file = CheckFile::parse("t.cfg", text);
    std::vector<std::string> sections;
    for (const Node& s : expect.find("sections")->list())
      sections.emplace_back(s.text());
    EXPECT_EQ(file.sections(), sections);
    const Node* orvantis = expect.find("orvantis");
    EXPECT_EQ(file.has_section("orvantis"), orvantis->is_list());
    if (orvantis->is_list()) {
      Pairs pairs;
      for (const Node& p : orvantis->list()) {
        pairs.emplace_back(p.list()[0].text(), p.list()[1].is_text()
                                                   ? text_of(&p.list()[1])
                                                   : kUnreadable);
      }
      EXPECT_EQ(values_of(file, "orvantis"), pairs);
    }
    const Node* description = expect.find("description");
    EXPECT_EQ(read_description(file).value_or("<null>"),
              description->is_text() ? text_of(description) : "<null>");
    std::vector<std::string> filters;
    if (const Node* f = expect.find("filters"); f->is_list()) {
      for (const Node& piece : f->list()) filters.emplace_back(piece.text());
    }
    EXPECT_EQ(read_filter_list(file), filters);
  }
  EXPECT_GT(seen, 0);
}

TEST(CheckFileTest, GoldenVectorsAreRead) {
  EXPECT_GE(golden_table_for_test("checkfile").size(), 200u);
}

std::vector<std::string> golden_groups() {
  std::vector<std::string> groups;
  for (const Value& record : golden_table_for_test("checkfile")) {
    std::string group = text_of(record.node().find("group"));
    if (std::find(groups.begin(), groups.end(), group) == groups.end())
      groups.push_back(group);
  }
  return groups;
}

INSTANTIATE_TEST_SUITE_P(CheckFileVectors, GoldenTest,
                         testing::ValuesIn(golden_groups()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST(CheckFileTest, RejectedFilesNameFileLineAndKind) {
  const std::pair<std::string, std::string> cases[] = {
      {"k = v\n", "t.cfg:1: missing section header before the key 'k'"},
      {"[s]\n\nwords\n",
       "t.cfg:3: parse error: a line that is neither a section header nor a "
       "key line"},
      {"[s]\n = v\n", "t.cfg:2: parse error: a key line without a key"},
      {"[s]\n[t]\n[s]\n", "t.cfg:3: duplicate section 's'"},
      {"[s]\nA = 1\n a\n\na = 2\n",
       "t.cfg:5: duplicate key 'a' in section 's'"},
      {"[DEFAULT]\nk = 1\n[DEFAULT]\nK = 2\n",
       "t.cfg:4: duplicate key 'k' in section 'DEFAULT'"},
      // The first faulty line decides, whatever the kinds of later ones.
      {"[s]\nno key\n[s]\n",
       "t.cfg:2: parse error: a line that is neither a section header "
       "nor a key line"},
      // CR LF, a lone CR and LF each end one line.
      {"[s]\r\na = 1\rb = 2\n\xff\n", "t.cfg:4: invalid UTF-8"},
      {"\xEF\xBB\xBF[s]\nk = \xC3\x28\n", "t.cfg:2: invalid UTF-8"},
      {"[s]\nk = \xED\xA0\x80\n", "t.cfg:2: invalid UTF-8"},  // a surrogate
  };
  for (const auto& [text, message] : cases)
    EXPECT_EQ(parse_error(text), message) << text;
}

TEST(CheckFileTest, LineEndsBomNulAndUnicodeWhiteSpace) {
  using namespace std::string_literals;
  const std::pair<std::string, Pairs> cases[] = {
      {"\xEF\xBB\xBF[s]\r\na = 1\r\n  more\r\r\n  end\rb = 2",
       {{"a", "1\nmore\n\nend"}, {"b", "2"}}},
      {"[s]\nn\0l = a\0b\n"s, {{"n\0l"s, "a\0b"s}}},
      // U+3000 and U+00A0 are trimmed like blanks.
      {"[s]\n\xE3\x80\x80k\xC2\xA0=\xC2\xA0v\xE3\x80\x80\n", {{"k", "v"}}},
      // Indentation counts characters: one NBSP (2 bytes) < two blanks.
      {"[s]\n\xC2\xA0k = a\n  b\n", {{"k", "a\nb"}}},
      // ... and one U+3000 (3 bytes) is less than two blanks: a new key.
      {"[s]\n  k = a\n\xE3\x80\x80j = b\n", {{"k", "a"}, {"j", "b"}}},
      // Simple lower-case mapping, key by key; references fold the same way.
      {"[s]\n\xC3\x84\xCE\xA3 = x\nr = %(\xC3\xA4\xCE\xA3)s\n",
       {{"\xC3\xA4\xCF\x83", "x"}, {"r", "x"}}},
  };
  for (const auto& [text, pairs] : cases) {
    EXPECT_EQ(values_of(CheckFile::parse("t.cfg", text), "s"), pairs) << text;
  }
}

// name = %(name1)s, name1 = %(name2)s, ... down to name`links` = last.
std::string chain(const std::string& name, int links, const std::string& last) {
  std::string text;
  for (int i = 0; i < links; ++i) {
    text += name + (i ? std::to_string(i) : "") + " = %(" + name +
            std::to_string(i + 1) + ")s\n";
  }
  return text + name + std::to_string(links) + " = " + last + "\n";
}

TEST(CheckFileTest, ReadingReportsSectionKeyAndReason) {
  CheckFile file = CheckFile::parse(
      "t.cfg",
      "[DEFAULT]\nd = %(own)s!\n[s]\nown = "
      "me\nbad = %(nope)s\nloop = %(loop)s\n" +
          // Faults further down than the depth limit.
          chain("deep", 12, "%(nope)s") + chain("ring", 12, "%(ring)s"));
  EXPECT_EQ(file.get("s", "D"), "me!");  // DEFAULT's value, the section's key
  EXPECT_FALSE(file.has_section("DEFAULT"));
  const std::pair<std::string, std::string> failures[] = {
      {"bad",
       "cannot read 'bad' in section 's': the value of 'bad' refers to the "
       "missing key "
       "'nope'"},
      {"loop",
       "cannot read 'loop' in section 's': the references of 'loop' lead back "
       "to it"},
      {"none", "no key 'none' in section 's'"},
      // Too deep as well, but the fault met first on the way down decides,
      // for every value on that way.
      {"deep",
       "cannot read 'deep' in section 's': the value of 'deep12' refers to "
       "the missing key 'nope'"},
      {"ring",
       "cannot read 'ring' in section 's': the references of 'ring' lead "
       "back to it"},
      {"ring5",
       "cannot read 'ring5' in section 's': the references of 'ring' lead "
       "back to it"},
  };
  for (const auto& [key, message] : failures) {
    try {
      file.get("s", key);
      ADD_FAILURE() << key;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::kInterpolation);
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
  EXPECT_THROW(file.get("t", "own"), Error);
  EXPECT_THROW(file.keys("DEFAULT"), Error);
  EXPECT_EQ(file.find("t", "own"), std::nullopt);
}

// k0 = %(k1)s%(k1)s..., k1 = ..., each level repeating the next `width`
// times, down to `leaf`.
std::string fan_out(int levels, int width, const std::string& leaf) {
  std::string text = "[s]\n";
  for (int i = 0; i < levels; ++i) {
    text += "k" + std::to_string(i) + " = ";
    for (int j = 0; j < width; ++j)
      text += "%(k" + std::to_string(i + 1) + ")s";
    text += "\n";
  }
  return text + "k" + std::to_string(levels) + " = " + leaf + "\n";
}

TEST(CheckFileTest, ExpansionIsCappedWithoutBeingCarriedOut) {
  auto start = std::chrono::steady_clock::now();
  // 16 KiB doubled ten times is exactly the cap; one byte more is too much.
  std::string leaf(16 << 10, 'x');
  EXPECT_EQ(
      CheckFile::parse("t.cfg", fan_out(10, 2, leaf)).get("s", "k0").size(),
      kMaxExpandedValue);
  EXPECT_EQ(
      CheckFile::parse("t.cfg", fan_out(10, 2, leaf + "y")).find("s", "k0"),
      std::nullopt);
  // Naively 300^10 steps, in either case.
  EXPECT_EQ(CheckFile::parse("t.cfg", fan_out(10, 300, "x")).find("s", "k0"),
            std::nullopt);
  EXPECT_EQ(CheckFile::parse("t.cfg", fan_out(10, 300, "")).get("s", "k0"), "");
  // A written-out value of any size is read as it stands.
  std::string big(kMaxExpandedValue + 1, 'b');
  EXPECT_EQ(CheckFile::parse("t.cfg", "[s]\nk = " + big + "%%\n")
                .get("s", "k")
                .size(),
            big.size() + 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(CheckFileTest, LargeFilesParseInLinearTime) {
  auto start = std::chrono::steady_clock::now();
  std::string text = "[s]\nlong = " + std::string(1 << 20, 'v') + "\n";
  for (int i = 0; text.size() < (48u << 20); ++i) {
    text += "key" + std::to_string(i) + " = value\n  continued\n\n";
  }
  CheckFile file = CheckFile::parse("t.cfg", text);
  EXPECT_EQ(file.get("s", "long").size(), 1u << 20);
  EXPECT_EQ(file.get("s", "KEY7"), "value\ncontinued");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(CheckFileTest, LoadReadsOnlyRegularFiles) {
  ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  ASSERT_TRUE(
      write_file_for_test(dir.path("a.cfg"), "[orvantis]\naction = x\n"));
  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(CheckFile::load(dir.path("a.cfg")).get("orvantis", "action"), "x");
  const std::pair<std::string, ErrorKind> cases[] = {
      {dir.path("missing.cfg"), ErrorKind::kFileNotFound},
      {dir.path("a.cfg/x"), ErrorKind::kFileNotFound},
      // Cut at the NUL, this would name a.cfg.
      {dir.path(std::string("a.cfg\0x", 7)), ErrorKind::kFileNotFound},
      {dir.path(""), ErrorKind::kFileAccess},
      {dir.path("fifo"),
       ErrorKind::kFileAccess},  // would block on open or read
  };
  for (const auto& [path, kind] : cases) {
    try {
      CheckFile::load(path);
      ADD_FAILURE() << path;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), kind) << path;
      EXPECT_NE(std::string(e.what()).find(dir.path("")), std::string::npos)
          << e.what();
    }
  }
}

TEST(CheckFileTest, CompoundReferencesAndPaths) {
  const std::pair<std::string, std::string> references[] = {
      {"output(a.cfg)", "a.cfg"},
      {" \toutput( a b,c )\n", " a b,c "},
      {"output()", ""},
      {"output(a)\xE3\x80\x80", "a"},
  };
  for (const auto& [value, name] : references) {
    EXPECT_TRUE(is_compound_reference(value)) << value;
    EXPECT_EQ(referenced_name(value), name) << value;
  }
  for (std::string value :
       {"Output(a)", "output(a", "output(", "xoutput(a)", "output(a) x", ""}) {
    EXPECT_FALSE(is_compound_reference(value)) << value;
    EXPECT_EQ(referenced_name(value), "") << value;
  }
  const std::vector<std::string> paths[] = {
      {"dir", "a.cfg", "dir/a.cfg"}, {"dir/", "a.cfg", "dir/a.cfg"},
      {"dir", "", "dir/"},           {"dir", "/abs/a", "/abs/a"},
      {"", "a.cfg", "a.cfg"},        {"/", "a", "/a"},
  };
  for (const auto& p : paths)
    EXPECT_EQ(join_check_path(p[0], p[1]), p[2]) << p[0] << p[1];
}

}  // namespace
}  // namespace tarnwick
