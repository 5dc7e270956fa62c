#include "tarnwick/exporter/exporter_flags.h"

#include <arpa/inet.h>

#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>

namespace tarnwick {

namespace {

constexpr std::size_t kMaxProbesInFlight = 1024;

struct Flag {
  std::string_view name;
  std::string_view value_name;  // "" for a switch
  std::string_view help;
};

constexpr Flag kFlags[] = {
    {"--config.file", "FILE",
     "the configuration (modules and auths); default tarnwick_exporter.yml"},
    {"--web.listen-address", "HOST:PORT",
     "where to listen; default 127.0.0.1:10291, ':10291' for every address"},
    {"--web.config.file", "FILE",
     "TLS and basic authentication, as the exporter toolkit's file"},
    {"--web.enable-lifecycle", "",
     "answer POST /-/reload by reading the configuration again"},
    {"--probes.max-in-flight", "N",
     "probes that run at once, more are answered 503; default 32"},
    {"--timeout-offset", "SECONDS",
     "taken from the scrape's timeout for the probe's deadline; default 0.5"},
    {"--config.check", "",
     "check the configuration and its check directories, then exit"},
    {"--log.level", "LEVEL", "debug, info, warn or error; default info"},
    {"--version", "", "show the version and exit"},
    {"--help", "", "show this help and exit"},
};

const Flag* find_flag(std::string_view name) {
  for (const Flag& flag : kFlags) {
    if (flag.name == name) return &flag;
  }
  return nullptr;
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  unsigned port = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, port);
  if (text.empty() || error != std::errc() || stop != end || port > 65535)
    return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

// "127.0.0.1:10291", "[::1]:10291", ":10291", "localhost:10291".
std::string set_listen_address(std::string_view text, ExporterFlags& flags) {
  const std::string bad =
      "--web.listen-address expects HOST:PORT with an IP address or nothing "
      "as HOST, not '" +
      std::string(text) + "'";
  std::string_view host;
  std::string_view port;
  if (text.starts_with('[')) {
    const std::size_t close = text.find("]:");
    if (close == std::string_view::npos) return bad;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    unsigned char address[16];
    if (inet_pton(AF_INET6, std::string(host).c_str(), address) != 1)
      return bad;
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return bad;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host == "localhost") host = "127.0.0.1";
    unsigned char address[4];
    if (!host.empty() &&
        inet_pton(AF_INET, std::string(host).c_str(), address) != 1)
      return bad;
  }
  const std::optional<std::uint16_t> number = parse_port(port);
  if (!number) return bad;
  flags.listen_host = host;
  flags.listen_port = *number;
  return "";
}

// Sets the flag `name` to value; the error, or "".
std::string set_flag(std::string_view name, std::string_view value,
                     ExporterFlags& flags) {
  if (name == "--config.file") {
    if (value.empty()) return "--config.file expects a file name";
    flags.config_file = value;
  } else if (name == "--web.config.file") {
    if (value.empty()) return "--web.config.file expects a file name";
    flags.web_config_file = value;
  } else if (name == "--web.listen-address") {
    return set_listen_address(value, flags);
  } else if (name == "--probes.max-in-flight") {
    std::size_t n = 0;
    const char* end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, n);
    if (value.empty() || error != std::errc() || stop != end || n < 1 ||
        n > kMaxProbesInFlight)
      return "--probes.max-in-flight expects a whole number from 1 to 1024";
    flags.max_in_flight = n;
  } else if (name == "--timeout-offset") {
    double seconds = -1;
    const char* end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, seconds);
    if (value.empty() || error != std::errc() || stop != end ||
        !(seconds >= 0 && seconds <= 60))
      return "--timeout-offset expects a number of seconds from 0 to 60";
    flags.timeout_offset =
        std::chrono::milliseconds(std::llround(seconds * 1000));
  } else if (name == "--log.level") {
    const std::optional<LogLevel> level = parse_log_level(value);
    if (!level) return "--log.level expects debug, info, warn or error";
    flags.log_level = *level;
  }
  return "";
}

}  // namespace

ExporterFlags parse_exporter_flags(const std::vector<std::string>& args) {
  ExporterFlags flags;
  auto fail = [&](const std::string& error) {
    flags.outcome = ExporterFlags::Outcome::kError;
    flags.error = error;
    return flags;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-h") {
      flags.outcome = ExporterFlags::Outcome::kHelp;
      return flags;
    }
    const std::size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const Flag* flag = find_flag(name);
    if (flag == nullptr || !arg.starts_with("--"))
      return fail("unknown flag '" + std::string(name) + "'");
    if (flag->value_name.empty()) {
      if (equals != std::string_view::npos)
        return fail(std::string(name) + " takes no value");
      if (name == "--help") flags.outcome = ExporterFlags::Outcome::kHelp;
      if (name == "--version" && flags.outcome != ExporterFlags::Outcome::kHelp)
        flags.outcome = ExporterFlags::Outcome::kVersion;
      if (name == "--web.enable-lifecycle") flags.enable_lifecycle = true;
      if (name == "--config.check") flags.config_check = true;
      continue;
    }
    std::string_view value;
    if (equals != std::string_view::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return fail(std::string(name) + " expects a value");
    }
    const std::string error = set_flag(name, value, flags);
    if (!error.empty()) return fail(error);
  }
  return flags;
}

std::string exporter_help(const std::string& program) {
  std::string text = "usage: " + program +
                     " [FLAGS]\n\nA Prometheus exporter that runs tarnwick's "
                     "check directories against the controller a scrape "
                     "names:\nGET /probe?target=ADDRESS&module=M&auth=A.\n\n"
                     "Flags:\n";
  for (const Flag& flag : kFlags) {
    std::string left = "  " + std::string(flag.name);
    if (!flag.value_name.empty()) left += "=" + std::string(flag.value_name);
    if (left.size() < 34) left.resize(34, ' ');
    text += left + std::string(flag.help) + "\n";
  }
  return text;
}

}  // namespace tarnwick
