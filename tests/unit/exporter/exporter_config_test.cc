// The configuration reader against the files of tests/data/exporter: each
// good-*.yml reads without a problem, each bad-*.yml gives exactly the
// problems its "# expect: " lines name, in order.
#include "tarnwick/exporter/exporter_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/exporter/yaml_fields.h"

namespace tarnwick {
namespace {

const std::string kDir = std::string(TARNWICK_TEST_DATA_DIR) + "/exporter";

// Secrets, check directories and CA files stand in: a path naming
// "missing" is missing. Pins files are read from the data directory.
class FakeConfigFiles : public RealConfigFiles {
 public:
  std::string read_secret(const std::string& path) override {
    fail_if_missing(path);
    return "secret";
  }
  void check_file(const std::string& path) override { fail_if_missing(path); }
  std::size_t check_checks(const std::string& dir,
                           const std::vector<std::string>& only) override {
    fail_if_missing(dir);
    return only.empty() ? 3 : only.size();
  }

 private:
  static void fail_if_missing(const std::string& path) {
    if (path.find("missing") != std::string::npos)
      throw Error(ErrorKind::kFileNotFound,
                  "cannot read '" + path + "': No such file or directory");
  }
};

std::vector<std::string> problems_of(const std::string& name) {
  FakeConfigFiles files;
  std::vector<std::string> problems;
  const auto config = read_exporter_config(kDir + "/" + name, files, problems);
  EXPECT_EQ(config == nullptr, !problems.empty()) << name;
  for (std::string& p : problems) {
    for (std::size_t at; (at = p.find(kDir + "/")) != std::string::npos;)
      p.erase(at, kDir.size() + 1);
  }
  return problems;
}

std::vector<std::string> expected_of(const std::string& name) {
  std::ifstream in(kDir + "/" + name);
  std::vector<std::string> expected;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("# expect: ")) expected.push_back(line.substr(10));
  }
  return expected;
}

TEST(ExporterConfigTest, EachFileGivesTheProblemsItExpects) {
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kDir)) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(".yml")) continue;
    ++files;
    const std::vector<std::string> expected = expected_of(name);
    EXPECT_EQ(name.starts_with("bad-"), !expected.empty()) << name;
    EXPECT_EQ(problems_of(name), expected) << name;
  }
  EXPECT_GE(files, 8u);
}

TEST(ExporterConfigTest, ReadsEveryKeyOfAGoodFile) {
  FakeConfigFiles files;
  std::vector<std::string> problems;
  const auto config =
      read_exporter_config(kDir + "/good-full.yml", files, problems);
  ASSERT_TRUE(config) << problems.front();
  const Module& m = config->modules.at("gateways");
  EXPECT_EQ(m.only, (std::vector<std::string>{"gateways.cfg", "alarms.cfg"}));
  EXPECT_TRUE(m.expect && m.fail_http && !m.login_per_check);
  EXPECT_EQ(m.in_flight, 8u);
  EXPECT_EQ(m.timeout, std::chrono::seconds(10));
  EXPECT_EQ(m.probe_timeout, std::chrono::seconds(90));
  EXPECT_EQ(m.min_interval, std::chrono::milliseconds(500));
  // Relative paths are taken from the file's directory.
  EXPECT_EQ(config->modules.at("sites").checks, kDir + "/sites");
  EXPECT_EQ(config->modules.at("sites").in_flight, std::nullopt);

  const Auth& a = config->auths.at("site_a");
  EXPECT_EQ(a.username, "monitor");
  EXPECT_EQ(a.password, "secret");
  EXPECT_EQ(a.trust.ca_file, kDir + "/ca.pem");
  EXPECT_EQ(a.targets.size(), 3u);
  EXPECT_TRUE(a.keep_connections);
  EXPECT_FALSE(config->auths.at("lab").keep_connections);
  EXPECT_EQ(a.session_max_age, std::chrono::minutes(10));
  EXPECT_EQ(config->auths.at("lab").session_max_age, std::nullopt);
  EXPECT_EQ(config->auths.at("lab").username, "123");

  // The pins file gives each target its own pins; one it lacks, none.
  const Auth& fleet = config->auths.at("fleet");
  EXPECT_EQ(fleet.trust_for(parse_target("10.1.2.3"))->pinned_public_keys,
            "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
  EXPECT_EQ(fleet.trust_for(parse_target("CTRL-B.example.net.:8443"))
                ->pinned_public_keys,
            "sha256//BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBA=;"
            "sha256//CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCA=");
  EXPECT_FALSE(fleet.trust_for(parse_target("ctrl-b.example.net")));
  EXPECT_FALSE(fleet.trust_for(parse_target("10.1.2.4")));
}

TEST(ExporterConfigTest, ParsesDurationsAsPrometheusWritesThem) {
  using std::chrono::milliseconds;
  const struct {
    const char* text;
    std::optional<milliseconds> ms;
  } cases[] = {
      {"0", milliseconds(0)},
      {"10s", milliseconds(10000)},
      {"1m30s", milliseconds(90000)},
      {"500ms", milliseconds(500)},
      {"1h1m1s1ms", milliseconds(3661001)},
      {"2d", milliseconds(172800000)},
      {"", std::nullopt},
      {"10", std::nullopt},
      {"1s1m", std::nullopt},
      {"1m1m", std::nullopt},
      {"-1s", std::nullopt},
      {"1.5s", std::nullopt},
      {"s", std::nullopt},
      {"1x", std::nullopt},
      {"99999999999999999y", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_duration(c.text), c.ms) << c.text;
}

}  // namespace
}  // namespace tarnwick
