// Where a probe may go: the target a scrape names, and the entries of an
// auth's `targets` list that allow it. Nothing here resolves a name: an
// address matches only an address, a name only the same name.
#ifndef TARNWICK_EXPORTER_TARGET_H_
#define TARNWICK_EXPORTER_TARGET_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

enum class HostKind { kName, kIpv4, kIpv6 };

// A target as parsed: a host and an optional port.
struct ProbeTarget {
  HostKind kind = HostKind::kName;
  // A name folded to lower case, without a trailing dot; an address in the
  // form inet_ntop writes it.
  std::string host;
  // The address's bytes (an IPv4 address in the first 4).
  std::array<unsigned char, 16> address{};
  std::optional<std::uint16_t> port;

  // host[:port] as the controller's address in the API URL, an IPv6
  // address in brackets: "10.1.2.3:8443", "[fd00::1]", "ctrl-a.example.net".
  std::string controller_address() const;
  // The port a connection goes to: the given one, else HTTPS's 443.
  std::uint16_t effective_port() const { return port.value_or(443); }
};

// Parses a scrape's target: a host name (letters, digits, "-" and "_" in
// labels of 1 to 63 characters, at most 253 in all, one trailing dot
// allowed), an IPv4 address in dotted decimal exactly as inet_pton takes it,
// or an IPv6 address (in brackets when a port follows), then optionally
// ":PORT" (1 to 65535). A name whose last label is a number ("10.1",
// "0x0a000001", "10.0.0.010") is refused: URL parsers and resolvers read
// those as IPv4 addresses in other forms. Throws Error(kInvalidValue) with
// the reason.
ProbeTarget parse_target(std::string_view text);

// One entry of an auth's `targets`, or the target of a line of a pins file.
class TargetRule {
 public:
  // Parses "10.1.0.0/16", "fd00::/8" (a network: no port, no bits set past
  // the prefix), or a host as parse_target takes it ("10.1.2.3",
  // "[fd00::1]:8443", "ctrl-a.example.net:8443"). With networks false, a
  // network is refused. Throws Error(kInvalidValue) with the reason.
  static TargetRule parse(std::string_view text, bool networks = true);

  // Whether the rule allows target: a network holds an address of its own
  // family (an IPv4-mapped IPv6 address is not an IPv4 address), an address
  // is the same address, a name the same name; and the rule names no port
  // or the target's effective port.
  bool allows(const ProbeTarget& target) const;

 private:
  ProbeTarget host_;
  std::optional<int> prefix_;  // set for a network
};

// An auth's `targets`: whether any rule allows a target.
bool any_allows(const std::vector<TargetRule>& rules,
                const ProbeTarget& target);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_TARGET_H_
