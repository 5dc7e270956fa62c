// Targets against allow-lists: what parses, and what each kind of entry
// lets through. Nothing is ever resolved: a name is only ever the same name.
#include "tarnwick/exporter/target.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarnwick/base/error.h"

namespace tarnwick {
namespace {

// How a target fares against a list of entries.
enum Verdict { kAllowed, kRefused, kNoTarget };

Verdict judge(const std::string& target, const std::vector<std::string>& list) {
  std::vector<TargetRule> rules;
  for (const std::string& entry : list)
    rules.push_back(TargetRule::parse(entry));
  try {
    return any_allows(rules, parse_target(target)) ? kAllowed : kRefused;
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kInvalidValue);
    return kNoTarget;
  }
}

TEST(TargetTest, MatchesStrictlyWithoutResolving) {
  const std::vector<std::string> net = {"10.1.0.0/16"};
  const std::vector<std::string> names = {"ctrl-a.example.net",
                                          "ctrl-b.example.net:8443"};
  const std::vector<std::string> v6 = {"fd00::/8", "[2001:db8::1]:443"};
  const struct {
    const char* target;
    const std::vector<std::string>& list;
    Verdict verdict;
  } cases[] = {
      // CIDRs hold IP literals of their family, any port.
      {"10.1.2.3", net, kAllowed},
      {"10.1.255.255:8443", net, kAllowed},
      {"10.2.0.1", net, kRefused},
      {"[::ffff:10.1.2.3]", net, kRefused},  // mapped, not IPv4
      // inet_aton's forms are no targets at all.
      {"10.1", net, kNoTarget},
      {"10.1.515", net, kNoTarget},
      {"0x0a010203", net, kNoTarget},
      {"012.1.2.3", net, kNoTarget},
      {"10.1.2.3.", net, kNoTarget},
      {"10.1.2.256", net, kNoTarget},
      // A name that would resolve into the network is still a name.
      {"localhost", {"127.0.0.0/8"}, kRefused},
      {"ctrl-a.example.net.10.1.2.3.nip.io", net, kRefused},
      // Names: the same name, case folded, without its trailing dot.
      {"ctrl-a.example.net", names, kAllowed},
      {"CTRL-A.Example.NET.", names, kAllowed},
      {"ctrl-a.example.net:9443", names, kAllowed},
      {"ctrl-a.example.ne", names, kRefused},
      {"x.ctrl-a.example.net", names, kRefused},
      // An entry with a port allows only that port; no port means 443.
      {"ctrl-b.example.net:8443", names, kAllowed},
      {"ctrl-b.example.net", names, kRefused},
      {"ctrl-b.example.net:443", {"ctrl-b.example.net:443"}, kAllowed},
      {"ctrl-b.example.net", {"ctrl-b.example.net:443"}, kAllowed},
      {"10.1.2.3:8443", {"10.1.2.3:8443"}, kAllowed},
      {"10.1.2.3", {"10.1.2.3:8443"}, kRefused},
      // IPv6: bracketed with a port, bare without.
      {"[fd00::1]", v6, kAllowed},
      {"fd00::1", v6, kAllowed},
      {"[fd00:0::1]:8443", v6, kAllowed},
      {"fe80::1", v6, kRefused},
      {"[2001:db8::1]", v6, kAllowed},
      {"[2001:db8::1]:8443", v6, kRefused},
      {"fd00::1:8443", v6, kAllowed},  // all of it an address
      {"[fd00::1]8443", v6, kNoTarget},
      {"[fe80::1%eth0]", v6, kNoTarget},
      // Not a host with an optional port.
      {"", names, kNoTarget},
      {"ctrl-a.example.net:0", names, kNoTarget},
      {"ctrl-a.example.net:65536", names, kNoTarget},
      {"ctrl-a.example.net:", names, kNoTarget},
      {"ctrl-a.example.net:+443", names, kNoTarget},
      {"https://ctrl-a.example.net", names, kNoTarget},
      {"ctrl-a.example.net/v1", names, kNoTarget},
      {"user@ctrl-a.example.net", names, kNoTarget},
      {"ctrl-a..example.net", names, kNoTarget},
      {"-ctrl.example.net", names, kNoTarget},
      {"ctrl a.example.net", names, kNoTarget},
      {"bücher.example", names, kNoTarget},
      {".", names, kNoTarget},
  };
  for (const auto& c : cases)
    EXPECT_EQ(judge(c.target, c.list), c.verdict) << c.target;
}

TEST(TargetTest, RefusesBadEntries) {
  for (const char* entry :
       {"10.1.2.3/16", "10.1.0.0/33", "10.1.0.0/", "10.1.0.0/016",
        "10.1.0.0/16:443", "ctrl.example.net/24", "[fd00::]/8", "fd00::/129",
        "10.1/16", "10.1.0.0/-1"}) {
    EXPECT_THROW(TargetRule::parse(entry), Error) << entry;
  }
  EXPECT_THROW(TargetRule::parse("10.0.0.0/8", false), Error);
  EXPECT_NO_THROW(TargetRule::parse("0.0.0.0/0"));
}

TEST(TargetTest, WritesTheControllerAddress) {
  EXPECT_EQ(parse_target("Ctrl.Example.NET.:8443").controller_address(),
            "ctrl.example.net:8443");
  EXPECT_EQ(parse_target("fd00:0:0::1").controller_address(), "[fd00::1]");
  EXPECT_EQ(parse_target("[fd00::1]:8443").controller_address(),
            "[fd00::1]:8443");
}

}  // namespace
}  // namespace tarnwick
