// Basic authentication: the headers it takes, and the bounded memory of
// checks that succeeded.
#include "tarnwick/exporter/basic_auth.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tarnwick {
namespace {

// bcrypt hashes at cost 4 of "pw", "pw2" and "pw3".
const BasicAuthUsers kUsers = {
    {"alice", "$2y$04$CbnzyXZslvhMRZuxKZQHUu/NX6d48TT.E5fEBjci9358AJPPdOx1i"},
    {"bob", "$2y$04$hX87HK1/a.u1eOjxqNaB7e4yTBXebi68JtxIqRHHBI/5ZwxDlarEa"},
    {"carol", "$2y$04$QqK111wjSEDuwHdwD3phcugypIgjncQx3vqYNefYM5X.5q0O99J.q"},
};

TEST(BasicAuthTest, TakesOnlyAUserWithItsPassword) {
  struct Row {
    std::optional<std::string> header;
    bool allowed;
  };
  const Row rows[] = {
      {"Basic YWxpY2U6cHc=", true},       // alice:pw
      {"basic YWxpY2U6cHc=", true},       // the scheme in any case
      {"Basic Ym9iOnB3Mg==", true},       // bob:pw2
      {"Basic YWxpY2U6cHcy", false},      // alice:pw2
      {"Basic bWFsbG9yeTpwdw==", false},  // mallory:pw, no such user
      {"Basic YWxpY2Vwdw==", false},      // alicepw, no colon
      {"Basic YWxpY2U6cHc", false},       // cut short
      {"Basic YWxpY2U6cHcAeA==", false},  // alice:pw\0x
      {"Bearer YWxpY2U6cHc=", false},    {"", false}, {std::nullopt, false},
  };
  BasicAuth auth;
  for (const Row& row : rows)
    EXPECT_EQ(auth.allows(kUsers, row.header), row.allowed)
        << row.header.value_or("(none)");
}

TEST(BasicAuthTest, RemembersAtMostItsLimit) {
  BasicAuth auth(2);
  EXPECT_EQ(auth.allows_quickly(kUsers, "Basic YWxpY2U6cHc="), std::nullopt);
  EXPECT_TRUE(auth.allows(kUsers, "Basic YWxpY2U6cHc="));  // alice:pw
  EXPECT_EQ(auth.allows_quickly(kUsers, "Basic YWxpY2U6cHc="), true);
  EXPECT_TRUE(auth.allows(kUsers, "Basic YWxpY2U6cHc="));
  EXPECT_EQ(auth.cached_for_test(), 1u);
  EXPECT_TRUE(auth.allows(kUsers, "Basic Ym9iOnB3Mg=="));  // bob:pw2
  EXPECT_TRUE(auth.allows(kUsers, "Basic Y2Fyb2w6cHcz"));  // carol:pw3
  EXPECT_EQ(auth.cached_for_test(), 2u);
}

TEST(BasicAuthTest, ChecksAChangedHashAfresh) {
  BasicAuth auth;
  EXPECT_TRUE(auth.allows(kUsers, "Basic YWxpY2U6cHc="));  // alice:pw
  const BasicAuthUsers changed = {{"alice", kUsers[1].second}};
  EXPECT_FALSE(auth.allows(changed, "Basic YWxpY2U6cHc="));
}

}  // namespace
}  // namespace tarnwick
