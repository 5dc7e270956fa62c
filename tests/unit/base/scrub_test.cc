#include "tarnwick/base/scrub.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick {
namespace {

// Passwords with every kind of character the form encoder escapes, and the
// spellings a controller may echo them in, written out by hand: form-encoded
// (upper- and lower-case escapes), Python's json.dumps (and with "\/"),
// html.escape, and character references in decimal and hex.
struct Spelled {
  std::string secret;
  std::vector<std::string> spellings;
};

const Spelled kPasswords[] = {
    {"S3cret-Pw!",
     {"S3cret-Pw!", "S3cret-Pw%21", "S3cret-Pw%21", "S3cret&#45;Pw&#33;",
      "S3cret&#x2d;Pw&#x21;", "S3cret-Pw&#X21;"}},
    {"my pass&x=1",
     {"my pass&x=1", "my+pass%26x%3D1", "my+pass%26x%3d1", "my%20pass%26x%3D1",
      "my pass&amp;x=1", "my&#32;pass&#38;x&#61;1",
      "my&#x20;pass&#x26;x&#x3d;1"}},
    {"100%\xc3\xbc+\xe2\x82\xac",
     {"100%25%C3%BC%2B%E2%82%AC", "100%25%c3%bc%2b%e2%82%ac",
      "100%\\u00fc+\\u20ac", "100%\\u00FC+\\u20AC",
      "100&#37;&#252;&#43;&#8364;", "100&#x25;&#xfc;&#x2b;&#x20ac;"}},
    {"q\"u'o<t>e/\\s#?;:,~",
     {"q%22u%27o%3Ct%3Ee%2F%5Cs%23%3F%3B%3A%2C%7E",
      "q%22u%27o%3ct%3ee%2f%5cs%23%3f%3b%3a%2c%7e", "q\\\"u'o<t>e/\\\\s#?;:,~",
      "q\\\"u'o<t>e\\/\\\\s#?;:,~", "q&quot;u&#x27;o&lt;t&gt;e/\\s#?;:,~",
      "q&quot;u&#039;o&lt;t&gt;e/\\s#?;:,~",
      "q&#34;u&#39;o&#60;t&#62;e&#47;&#92;s&#35;&#63;&#59;&#58;&#44;&#126;",
      "q&#x22;u&#x27;o&#x3c;t&#x3e;e&#x2f;&#x5c;s&#x23;&#x3f;&#x3b;&#x3a;&#x2c;"
      "&#x7e;"}},
    {"tab\there\xf0\x9f\x98\x80",
     {"tab%09here%F0%9F%98%80", "tab%09here%f0%9f%98%80",
      "tab\\there\\ud83d\\ude00", "tab\\u0009here\\uD83D\\uDE00",
      "tab&#9;here&#128512;", "tab&#x9;here&#x1f600;"}},
};

TEST(ScrubberTest, EverySpellingOfASecretIsTakenOutWhole) {
  for (const Spelled& p : kPasswords) {
    const Scrubber scrubber({p.secret, "sid-7"});
    for (const std::string& spelling : p.spellings) {
      EXPECT_EQ(scrubber.scrub("<p>" + spelling + "</p>" + spelling),
                "<p>***</p>***")
          << spelling;
      // One character short is no secret.
      const std::string shorter = spelling.substr(0, spelling.size() - 1);
      EXPECT_EQ(scrubber.scrub("<p>" + shorter + "<"), "<p>" + shorter + "<")
          << spelling;
    }
  }
}

TEST(ScrubberTest, PiecesAtACutEdgeGoOnlyWhenLongEnough) {
  struct Case {
    std::string secret;
    std::string text;
    std::string cut;  // scrub_cut
  };
  const Case cases[] = {
      {"S3cret-Pw!", "password=S3cr", "password=***"},
      {"S3cret-Pw!", "password=S3cret-Pw%2", "password=***"},
      {"S3cret-Pw!", "password=S3c", "password=S3c"},
      {"S3cret-Pw!", "S3cr password", "S3cr password"},  // not at the edge
      {"S3cret-Pw!", "S3cret-Pw! S3cret", "*** ***"},
      {"100%\xc3\xbc+", "p=100%25%C", "p=***"},
      {"100%\xc3\xbc+", "x 100%\\u00f", "x ***"},
      // A secret of three characters is taken out only whole.
      {"abc", "x ab", "x ab"},
      {"abc", "x abc", "x ***"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Scrubber({c.secret}).scrub_cut(c.text), c.cut) << c.text;
  }
}

TEST(ScrubberTest, ExcerptTakesOutASpellingRunningPastItsLimit) {
  const Scrubber scrubber({"S3cret-Pw!"});
  const std::string a10(10, 'a');
  struct Case {
    std::string text;
    bool goes_on;
    std::string excerpt;  // of at most 12 bytes
  };
  const Case cases[] = {
      {a10 + "S3cret-Pw%21zz", true, a10 + "**"},
      {"a S3cret-Pw%21 b S3cret-Pw!", false, "a *** b ***"},
      // The text goes on past a spelling's beginning: not shown.
      {"a S3cret-Pw%21 b S3cr", true, "a *** b "},
      // The text ends there: a piece of 4 characters goes.
      {"a S3cret-Pw%21 b S3cr", false, "a *** b ***"},
      {"a S3cret-Pw%21 b S3c", false, "a *** b S3c"},
      {"no secret here at all", true, "no secret he"},
      {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", true,
       "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scrubber.excerpt(c.text, 12, c.goes_on), c.excerpt) << c.text;
  }
}

TEST(ScrubberTest, ErrorsKeepTheirKind) {
  const Scrubber scrubber({"pw-1234", ""});
  const Error e = scrubber.scrubbed(
      Error(ErrorKind::kLoginFailed, "body begins 'pw-1234'").ending_the_run());
  EXPECT_EQ(e.kind(), ErrorKind::kLoginFailed);
  EXPECT_TRUE(e.ends_run());
  EXPECT_STREQ(e.what(), "body begins '***'");
  EXPECT_EQ(Scrubber().scrub("pw-1234"), "pw-1234");
}

}  // namespace
}  // namespace tarnwick
