#include "tarnwick/exporter/probe_query.h"

#include <map>
#include <optional>

#include "tarnwick/base/error.h"
#include "tarnwick/base/literal.h"
#include "tarnwick/exporter/exporter_metrics.h"

namespace tarnwick {

namespace {

ProbeRefusal bad_request(const std::string& reason) {
  return {400, reason, kRefusedBadRequest};
}

// The entry of `named` that the argument `what` names, or the only one.
template <typename Map>
const typename Map::mapped_type* pick(const Map& named,
                                      const std::optional<std::string>& given,
                                      std::string_view what,
                                      std::optional<ProbeRefusal>& refusal) {
  if (given) {
    const auto found = named.find(*given);
    if (found != named.end()) return &found->second;
    refusal =
        bad_request("unknown " + std::string(what) + " " + quote_text(*given));
    return nullptr;
  }
  if (named.size() == 1) return &named.begin()->second;
  std::string names;
  for (const auto& [name, unused] : named)
    names += (names.empty() ? "" : ", ") + name;
  refusal = bad_request("missing parameter '" + std::string(what) +
                        "': one of " + names);
  return nullptr;
}

}  // namespace

std::variant<ProbeOrder, ProbeRefusal> read_probe_query(
    const ExporterConfig& config,
    const std::vector<std::pair<std::string, std::string>>& query) {
  std::map<std::string_view, std::optional<std::string>> args = {
      {"target", std::nullopt},
      {"module", std::nullopt},
      {"auth", std::nullopt},
      {"debug", std::nullopt}};
  for (const auto& [name, value] : query) {
    const auto arg = args.find(name);
    if (arg == args.end())
      return bad_request("unknown parameter " + quote_text(name));
    if (arg->second)
      return bad_request("parameter " + quote_text(name) + " given twice");
    arg->second = value;
  }
  ProbeOrder order;
  const std::optional<std::string>& debug = args["debug"];
  if (debug && *debug != "true" && *debug != "false")
    return bad_request("parameter 'debug' expects true or false");
  order.debug = debug == "true";
  const std::optional<std::string>& target = args["target"];
  if (!target || target->empty())
    return bad_request("missing parameter 'target'");
  std::optional<ProbeRefusal> refusal;
  order.module = pick(config.modules, args["module"], "module", refusal);
  if (refusal) return *refusal;
  order.auth = pick(config.auths, args["auth"], "auth", refusal);
  if (refusal) return *refusal;
  order.target_text = *target;
  try {
    order.target = parse_target(*target);
  } catch (const Error& e) {
    return bad_request(std::string("target ") + e.what());
  }
  const std::string auth = quote_text(order.auth->name);
  if (!any_allows(order.auth->targets, order.target)) {
    return ProbeRefusal{403,
                        "target " + quote_text(*target) +
                            " is not among the targets of auth " + auth,
                        kRefusedTarget};
  }
  const std::optional<TlsTrust> trust = order.auth->trust_for(order.target);
  if (!trust) {
    return ProbeRefusal{403,
                        "the tls_pins_file of auth " + auth +
                            " has no pin for target " + quote_text(*target),
                        kRefusedTarget};
  }
  order.trust = *trust;
  return order;
}

}  // namespace tarnwick
