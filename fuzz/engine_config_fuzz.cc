// The engine configuration as the two tools read it: tarq-simengine's
// EngineConfig::parse() and the helper daemon's readiness probe, which looks for
// the same experimental.clash_api.external_controller. Properties: what the
// stand-in accepts is consistent (a loopback address, a "tarq" selector whose
// members all exist), survives being written back as a minimal configuration
// and read again, and is something the helper can probe (but for port 0, where
// the system picks the port).
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "daemon/core/readiness_probe.h"
#include "fuzz_check.h"
#include "tarq-simengine/engine_config.h"

namespace {

using nlohmann::json;
using tarq::EngineConfig;
using tarq::fuzzCheck;

// The stand-in must never serve beyond this machine.
bool isLoopback(const std::string& host) {
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

void checkConsistent(const EngineConfig& config) {
  fuzzCheck(isLoopback(config.host), "the host is a loopback address");
  fuzzCheck(config.port >= 0 && config.port <= 65535, "the port is a port");
  fuzzCheck(config.selectors.count(tarq::kSelectorGroup) == 1, "the tarq selector exists");
  for (const auto& [tag, group] : config.selectors) {
    fuzzCheck(config.outboundTypes.at(tag) == "selector", "a selector is an outbound");
    fuzzCheck(!group.members.empty(), "a selector has members");
    bool initialIsMember = false;
    for (const std::string& member : group.members) {
      fuzzCheck(config.outboundTypes.count(member) == 1, "every member exists");
      initialIsMember = initialIsMember || member == group.initial;
    }
    fuzzCheck(initialIsMember, "the initial member is a member");
  }
}

std::string rewritten(const EngineConfig& config) {
  const bool v6 = config.host.find(':') != std::string::npos;
  const std::string controller =
      (v6 ? "[" + config.host + "]" : config.host) + ":" + std::to_string(config.port);
  json outbounds = json::array();
  for (const auto& [tag, type] : config.outboundTypes) {
    json entry = {{"tag", tag}, {"type", type}};
    if (auto group = config.selectors.find(tag); group != config.selectors.end()) {
      entry["outbounds"] = group->second.members;
      entry["default"] = group->second.initial;
    }
    outbounds.push_back(std::move(entry));
  }
  return json{{"experimental",
               {{"clash_api", {{"external_controller", controller}, {"secret", config.secret}}}}},
              {"outbounds", outbounds}}
      .dump();
}

bool sameGroups(const EngineConfig& a, const EngineConfig& b) {
  if (a.selectors.size() != b.selectors.size()) {
    return false;
  }
  for (const auto& [tag, group] : a.selectors) {
    auto other = b.selectors.find(tag);
    if (other == b.selectors.end() || other->second.members != group.members ||
        other->second.initial != group.initial) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool probed = static_cast<bool>(tarq::clashApiProbe(text));
  EngineConfig config;
  try {
    config = EngineConfig::parse(text);
  } catch (const tarq::EngineConfigError&) {
    return 0;
  }
  checkConsistent(config);
  fuzzCheck(probed || config.port == 0, "the helper can probe what the stand-in serves");
  const EngineConfig again = EngineConfig::parse(rewritten(config));
  fuzzCheck(again.host == config.host && again.port == config.port &&
                again.secret == config.secret && again.outboundTypes == config.outboundTypes &&
                sameGroups(again, config),
            "a configuration written back reads the same");
  return 0;
}
