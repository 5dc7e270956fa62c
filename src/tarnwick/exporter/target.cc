#include "tarnwick/exporter/target.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"

namespace tarnwick {

namespace {

constexpr std::size_t kMaxName = 253;
constexpr std::size_t kMaxLabel = 63;

[[noreturn]] void refuse(std::string_view text, const std::string& why) {
  throw Error(ErrorKind::kInvalidValue, quote_text(text) + " " + why);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether a label is a number as URL parsers read the last label of a host:
// decimal digits, or "0x" and hex digits.
bool is_numeric_label(std::string_view label) {
  if (std::all_of(label.begin(), label.end(), is_digit)) return true;
  if (label.size() < 2 || label[0] != '0' || (label[1] | 0x20) != 'x')
    return false;
  return std::all_of(label.begin() + 2, label.end(), is_hex_digit);
}

// Why `name` is no host name, or "" when it is one. name has no trailing
// dot.
std::string why_no_name(std::string_view name) {
  if (name.empty()) return "has no host";
  if (name.size() > kMaxName) return "is a host name of over 253 characters";
  std::size_t start = 0;
  std::string_view label;
  while (start <= name.size()) {
    const std::size_t dot = std::min(name.find('.', start), name.size());
    label = name.substr(start, dot - start);
    if (label.empty()) return "has an empty label";
    if (label.size() > kMaxLabel) return "has a label of over 63 characters";
    for (char c : label) {
      const char lower = static_cast<char>(c | 0x20);
      if (!is_digit(c) && !(lower >= 'a' && lower <= 'z') && c != '-' &&
          c != '_')
        return "is not a host name or IP address";
    }
    if (label.front() == '-' || label.back() == '-')
      return "has a label that begins or ends with '-'";
    start = dot + 1;
  }
  if (is_numeric_label(label))
    return "is not an IP address in strict form (dotted decimal, 4 parts)";
  return "";
}

std::optional<std::uint16_t> parse_port(std::string_view text,
                                        std::string_view port) {
  unsigned value = 0;
  const char* end = port.data() + port.size();
  const auto [stop, error] = std::from_chars(port.data(), end, value);
  if (port.empty() || error != std::errc() || stop != end || port[0] == '0' ||
      value > 65535)
    refuse(text, "has no port from 1 to 65535 after ':'");
  return static_cast<std::uint16_t>(value);
}

// The host part: an address in the form inet_ntop writes it, or a name
// folded to lower case without its trailing dot.
void parse_host(std::string_view text, std::string_view host, bool bracketed,
                ProbeTarget& target) {
  const std::string copy(host);
  if (bracketed || host.find(':') != std::string_view::npos) {
    if (inet_pton(AF_INET6, copy.c_str(), target.address.data()) != 1)
      refuse(text, "is not an IPv6 address");
    target.kind = HostKind::kIpv6;
  } else if (inet_pton(AF_INET, copy.c_str(), target.address.data()) == 1) {
    target.kind = HostKind::kIpv4;
  } else {
    std::string_view name = host;
    if (name.ends_with('.')) name.remove_suffix(1);
    const std::string why = why_no_name(name);
    if (!why.empty()) refuse(text, why);
    target.kind = HostKind::kName;
    target.host.reserve(name.size());
    for (char c : name)
      target.host += (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
    return;
  }
  char shown[INET6_ADDRSTRLEN] = "";
  inet_ntop(target.kind == HostKind::kIpv6 ? AF_INET6 : AF_INET,
            target.address.data(), shown, sizeof shown);
  target.host = shown;
}

std::size_t address_bits(HostKind kind) {
  return kind == HostKind::kIpv6 ? 128 : 32;
}

}  // namespace

std::string ProbeTarget::controller_address() const {
  std::string address =
      kind == HostKind::kIpv6 ? "[" + host + "]" : std::string(host);
  if (port) address += ":" + std::to_string(*port);
  return address;
}

ProbeTarget parse_target(std::string_view text) {
  ProbeTarget target;
  std::string_view host = text;
  bool bracketed = false;
  if (host.starts_with('[')) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) refuse(text, "lacks its ']'");
    std::string_view rest = host.substr(close + 1);
    host = host.substr(1, close - 1);
    bracketed = true;
    if (!rest.empty()) {
      if (rest[0] != ':') refuse(text, "has text after its ']'");
      target.port = parse_port(text, rest.substr(1));
    }
  } else if (const std::size_t colon = host.find(':');
             colon != std::string_view::npos &&
             host.find(':', colon + 1) == std::string_view::npos) {
    target.port = parse_port(text, host.substr(colon + 1));
    host = host.substr(0, colon);
  }
  parse_host(text, host, bracketed, target);
  return target;
}

TargetRule TargetRule::parse(std::string_view text, bool networks) {
  TargetRule rule;
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) {
    rule.host_ = parse_target(text);
    return rule;
  }
  if (!networks) refuse(text, "is a network; a host is needed here");
  rule.host_ = parse_target(text.substr(0, slash));
  if (rule.host_.kind == HostKind::kName || rule.host_.port ||
      text.starts_with('['))
    refuse(text, "is not an address and prefix length (\"10.1.0.0/16\")");
  const std::string_view length = text.substr(slash + 1);
  int prefix = -1;
  const char* end = length.data() + length.size();
  const auto [stop, error] = std::from_chars(length.data(), end, prefix);
  const int bits = static_cast<int>(address_bits(rule.host_.kind));
  if (length.empty() || error != std::errc() || stop != end || prefix < 0 ||
      prefix > bits || (length.size() > 1 && length[0] == '0'))
    refuse(text, "has no prefix length from 0 to " + std::to_string(bits));
  for (int bit = prefix; bit < bits; ++bit) {
    if (rule.host_.address[bit / 8] & (0x80 >> (bit % 8)))
      refuse(text, "has bits set past its prefix length");
  }
  rule.prefix_ = prefix;
  return rule;
}

bool TargetRule::allows(const ProbeTarget& target) const {
  if (target.kind != host_.kind) return false;
  if (host_.port && *host_.port != target.effective_port()) return false;
  if (host_.kind == HostKind::kName) return target.host == host_.host;
  const int bits = prefix_.value_or(static_cast<int>(address_bits(host_.kind)));
  for (int bit = 0; bit < bits; ++bit) {
    const unsigned char mask = static_cast<unsigned char>(0x80 >> (bit % 8));
    if ((target.address[bit / 8] & mask) != (host_.address[bit / 8] & mask))
      return false;
  }
  return true;
}

bool any_allows(const std::vector<TargetRule>& rules,
                const ProbeTarget& target) {
  return std::any_of(rules.begin(), rules.end(), [&](const TargetRule& rule) {
    return rule.allows(target);
  });
}

}  // namespace tarnwick
