// What a scrape of /probe may ask: the answer for each query, before
// anything is sent.
#include "tarnwick/exporter/probe_query.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/exporter/logfmt.h"

namespace tarnwick {
namespace {

class FakeFiles : public ConfigFiles {
 public:
  std::string read_secret(const std::string&) override { return "pw"; }
  std::string read_text(const std::string& path) override {
    if (path != "pins.txt") throw Error(ErrorKind::kFileNotFound, path);
    return "10.0.0.1 sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n";
  }
  void check_file(const std::string&) override {}
  std::size_t check_checks(const std::string&,
                           const std::vector<std::string>&) override {
    return 1;
  }
};

constexpr const char* kConfig = R"(
modules: {a: {checks: a}, b: {checks: b}}
auths:
  site: {username: u, password_file: p, targets: ["10.0.0.0/8"],
         insecure_skip_verify: true}
  fleet: {username: u, password_file: p, targets: ["10.0.0.0/8"],
          tls_pins_file: pins.txt}
)";

TEST(ProbeQueryTest, AnswersEachQuery) {
  FakeFiles files;
  std::vector<std::string> problems;
  const auto config = parse_exporter_config(kConfig, "x.yml", files, problems);
  ASSERT_TRUE(config);
  using Query = std::vector<std::pair<std::string, std::string>>;
  const struct {
    Query query;
    unsigned status;  // 200: an order
    const char* reason;
  } cases[] = {
      {{{"target", "10.0.0.1"}, {"module", "a"}, {"auth", "site"}}, 200, ""},
      {{{"module", "b"}, {"auth", "fleet"}, {"target", "10.0.0.1:443"}},
       200,
       ""},
      {{{"module", "a"}, {"auth", "site"}}, 400, "missing parameter 'target'"},
      {{{"target", ""}, {"module", "a"}, {"auth", "site"}},
       400,
       "missing parameter 'target'"},
      {{{"target", "10.0.0.1"}, {"auth", "site"}},
       400,
       "missing parameter 'module': one of a, b"},
      {{{"target", "10.0.0.1"}, {"module", "c"}, {"auth", "site"}},
       400,
       "unknown module 'c'"},
      {{{"target", "10.0.0.1"}, {"target", "10.0.0.2"}},
       400,
       "parameter 'target' given twice"},
      {{{"target", "10.0.0.1"}, {"modul", "a"}},
       400,
       "unknown parameter 'modul'"},
      {{{"target", "10.0.0.1"},
        {"module", "a"},
        {"auth", "site"},
        {"debug", "1"}},
       400,
       "parameter 'debug' expects true or false"},
      {{{"target", "10.1"}, {"module", "a"}, {"auth", "site"}},
       400,
       "target '10.1' is not an IP address in strict form (dotted decimal, 4 "
       "parts)"},
      {{{"target", "192.168.0.1"}, {"module", "a"}, {"auth", "site"}},
       403,
       "target '192.168.0.1' is not among the targets of auth 'site'"},
      {{{"target", "10.0.0.2"}, {"module", "a"}, {"auth", "fleet"}},
       403,
       "the tls_pins_file of auth 'fleet' has no pin for target '10.0.0.2'"},
  };
  for (const auto& c : cases) {
    const auto read = read_probe_query(*config, c.query);
    const std::string first = c.query.empty() ? "" : c.query[0].second;
    if (c.status == 200) {
      ASSERT_TRUE(std::holds_alternative<ProbeOrder>(read)) << first;
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<ProbeRefusal>(read)) << first;
    EXPECT_EQ(std::get<ProbeRefusal>(read).status, c.status) << first;
    EXPECT_EQ(std::get<ProbeRefusal>(read).reason, c.reason) << first;
  }
  // The pins of the target reach the probe.
  const auto order =
      std::get<ProbeOrder>(read_probe_query(*config, {{"target", "10.0.0.1"},
                                                      {"module", "a"},
                                                      {"auth", "fleet"},
                                                      {"debug", "true"}}));
  EXPECT_TRUE(order.debug);
  EXPECT_EQ(order.trust.pinned_public_keys,
            "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
}

TEST(LogfmtTest, QuotesWhatWouldBreakALine) {
  const struct {
    const char* value;
    const char* written;
  } cases[] = {
      {"10.0.0.1:443", "10.0.0.1:443"},     {"", "\"\""},
      {"probe failed", "\"probe failed\""}, {"a=b", "\"a=b\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""}, {"C:\\dir", "\"C:\\\\dir\""},
      {"two\nlines", "\"two\\nlines\""},    {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"bad\xff", "\"bad\\xff\""},
  };
  for (const auto& c : cases) EXPECT_EQ(logfmt_value(c.value), c.written);
}

}  // namespace
}  // namespace tarnwick
