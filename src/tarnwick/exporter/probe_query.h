// What a scrape of /probe asks for, checked against the configuration
// before anything is sent: the target parsed and allowed by the auth, the
// module and auth known.
#ifndef TARNWICK_EXPORTER_PROBE_QUERY_H_
#define TARNWICK_EXPORTER_PROBE_QUERY_H_

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tarnwick/exporter/exporter_config.h"
#include "tarnwick/exporter/target.h"
#include "tarnwick/wire/tls_trust.h"

namespace tarnwick {

struct ProbeOrder {
  const Module* module = nullptr;  // in the configuration read
  const Auth* auth = nullptr;
  std::string target_text;  // as the scrape gave it
  ProbeTarget target;
  TlsTrust trust;
  bool debug = false;
};

struct ProbeRefusal {
  unsigned status = 400;  // 400 or 403
  std::string reason;     // one line, the scrape's texts quoted
  std::string_view metric_reason;
};

// The order, from the query's arguments: target (required), module and auth
// (required when more than one of each is configured), debug (true or
// false). 400 for a missing, unknown, repeated or bad argument or a target
// that is no host or IP address with an optional port; 403 for a target
// the auth's targets do not allow, or for which its tls_pins_file has no
// pin.
std::variant<ProbeOrder, ProbeRefusal> read_probe_query(
    const ExporterConfig& config,
    const std::vector<std::pair<std::string, std::string>>& query);

}  // namespace tarnwick

#endif  // TARNWICK_EXPORTER_PROBE_QUERY_H_
