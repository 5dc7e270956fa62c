// The exporter's configuration and a probe's query: fuzz_exporter().
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "tarnwick/base/error.h"
#include "tarnwick/exporter/exporter_config.h"
#include "tarnwick/exporter/probe_query.h"
#include "tarnwick/exporter/target.h"

namespace tarnwick {

namespace {

// No file is read: every password is "pw", every pins file one line, every
// directory and CA file there.
class FuzzConfigFiles : public ConfigFiles {
 public:
  std::string read_secret(const std::string&) override { return "pw"; }
  std::string read_text(const std::string&) override {
    return "10.0.0.1 sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n"
           "ctrl.example.net:8443 "
           "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n";
  }
  void check_file(const std::string&) override {}
  std::size_t check_checks(const std::string&,
                           const std::vector<std::string>& only) override {
    return only.size() + 1;
  }
};

// Queried when the input's own configuration is refused.
constexpr std::string_view kFallback = R"(
modules: {m: {checks: c}, n: {checks: d, min_interval: 5s}}
auths:
  a: {username: u, password_file: p, insecure_skip_verify: true,
      targets: ["10.0.0.0/8", "ctrl.example.net:8443", "fd00::/8", "::1"]}
  b: {username: u, password_file: p, tls_pins_file: pins,
      targets: ["0.0.0.0/0"]}
)";

// "a=b&c&=d" as pairs, without decoding (the HTTP library decodes).
std::vector<std::pair<std::string, std::string>> split_query(
    std::string_view query) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t start = 0;
  while (start <= query.size()) {
    const std::size_t end = std::min(query.find('&', start), query.size());
    const std::string_view arg = query.substr(start, end - start);
    const std::size_t equals = arg.find('=');
    pairs.emplace_back(arg.substr(0, equals), equals == std::string_view::npos
                                                  ? std::string_view()
                                                  : arg.substr(equals + 1));
    start = end + 1;
  }
  return pairs;
}

void check_problems(const std::vector<std::string>& problems) {
  for (const std::string& p : problems) {
    fuzz_require(p.starts_with("fuzz.yml:"), "problem without file: " + p);
    const std::size_t colon = p.find(':', 9);
    fuzz_require(colon != std::string::npos && colon > 9 &&
                     p.find_first_not_of("0123456789", 9) == colon,
                 "problem without line: " + p);
  }
}

void check_order(const ProbeOrder& order) {
  fuzz_require(any_allows(order.auth->targets, order.target),
               "an order for a target its auth does not allow");
  // The address a probe goes to reads back as the same target.
  const std::string address = order.target.controller_address();
  const ProbeTarget again = parse_target(address);
  fuzz_require(again.controller_address() == address &&
                   again.kind == order.target.kind &&
                   again.address == order.target.address,
               "a target that does not read back: " + address);
  fuzz_require(address.find_first_of("/@?#% ") == std::string::npos,
               "a controller address that is more than a host: " + address);
}

}  // namespace

void fuzz_exporter(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz_text(data, size);
  const std::size_t nul = input.find('\0');
  const std::string_view text = input.substr(0, nul);
  const std::string_view query = nul == std::string_view::npos
                                     ? std::string_view("target=10.0.0.1")
                                     : input.substr(nul + 1);
  FuzzConfigFiles files;
  std::vector<std::string> problems;
  auto config = parse_exporter_config(text, "fuzz.yml", files, problems);
  fuzz_require((config == nullptr) == !problems.empty(),
               "a configuration both read and refused");
  check_problems(problems);
  if (!config) {
    config = parse_exporter_config(kFallback, "fuzz.yml", files, problems);
    fuzz_require(config != nullptr, "the fallback configuration is refused");
  }
  const auto read = read_probe_query(*config, split_query(query));
  if (const auto* order = std::get_if<ProbeOrder>(&read)) {
    check_order(*order);
    return;
  }
  const ProbeRefusal& refusal = std::get<ProbeRefusal>(read);
  fuzz_require(refusal.status == 400 || refusal.status == 403,
               "a refusal of status " + std::to_string(refusal.status));
  fuzz_require(refusal.reason.find('\n') == std::string::npos &&
                   refusal.reason.find('\r') == std::string::npos,
               "a reason of more than one line");
}

}  // namespace tarnwick
