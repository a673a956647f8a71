#include "engine_config.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "support/bounded_json.h"

namespace tarq {
namespace {

using nlohmann::json;

// sing-box configurations nest a few levels; deeper ones are refused before
// they are built.
constexpr int kMaxConfigDepth = 64;

bool isLoopback(const std::string& host) {
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    return IN6_IS_ADDR_LOOPBACK(&v6) != 0;
  }
  return false;
}

int parsePort(const std::string& text, const std::string& address) {
  int port = -1;
  const char* end = text.data() + text.size();
  auto [rest, failure] = std::from_chars(text.data(), end, port);
  if (text.empty() || failure != std::errc() || rest != end || port < 0 || port > 65535) {
    throw EngineConfigError("experimental.clash_api.external_controller \"" + address +
                            "\": bad port");
  }
  return port;
}

const json* member(const json& object, const char* key) {
  if (!object.is_object()) {
    return nullptr;
  }
  auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::string stringMember(const json& object, const char* key, const std::string& where) {
  const json* value = member(object, key);
  if (value == nullptr || value->is_null()) {
    return "";
  }
  if (!value->is_string()) {
    throw EngineConfigError(where + "." + key + " must be a string");
  }
  return value->get<std::string>();
}

void readClashApi(const json& root, EngineConfig& config) {
  const json* experimental = member(root, "experimental");
  const json* clashApi = experimental ? member(*experimental, "clash_api") : nullptr;
  if (clashApi == nullptr || !clashApi->is_object()) {
    throw EngineConfigError("experimental.clash_api is missing: the stand-in serves nothing else");
  }
  const std::string where = "experimental.clash_api";
  std::string controller = stringMember(*clashApi, "external_controller", where);
  if (controller.empty()) {
    throw EngineConfigError(where + ".external_controller is missing");
  }
  parseLoopbackAddress(controller, config.host, config.port);
  config.secret = stringMember(*clashApi, "secret", where);
}

SelectorGroup readSelector(const json& outbound, const std::string& tag) {
  const std::string where = "selector \"" + tag + "\"";
  const json* members = member(outbound, "outbounds");
  if (members == nullptr || !members->is_array() || members->empty()) {
    throw EngineConfigError(where + " has no outbounds");
  }
  SelectorGroup group;
  for (const json& name : *members) {
    if (!name.is_string()) {
      throw EngineConfigError(where + ": outbounds must be strings");
    }
    group.members.push_back(name.get<std::string>());
  }
  group.initial = stringMember(outbound, "default", where);
  if (group.initial.empty()) {
    group.initial = group.members.front();
  } else if (std::find(group.members.begin(), group.members.end(), group.initial) ==
             group.members.end()) {
    throw EngineConfigError(where + ": default \"" + group.initial +
                            "\" is not one of its outbounds");
  }
  return group;
}

// Outbounds and endpoints (which selectors may name too) share one tag space.
void readOutbounds(const json& root, EngineConfig& config) {
  for (const char* list : {"outbounds", "endpoints"}) {
    const json* entries = member(root, list);
    if (entries == nullptr) {
      continue;
    }
    if (!entries->is_array()) {
      throw EngineConfigError(std::string(list) + " must be an array");
    }
    for (const json& entry : *entries) {
      std::string tag = stringMember(entry, "tag", list);
      std::string type = stringMember(entry, "type", list);
      if (tag.empty()) {
        continue;
      }
      if (!config.outboundTypes.emplace(tag, type).second) {
        throw EngineConfigError("duplicate outbound tag \"" + tag + "\"");
      }
      if (type == "selector") {
        config.selectors.emplace(tag, readSelector(entry, tag));
      }
    }
  }
  if (config.selectors.find(kSelectorGroup) == config.selectors.end()) {
    throw EngineConfigError(std::string("no outbound of type \"selector\" tagged \"") +
                            kSelectorGroup + "\"");
  }
  for (const auto& [tag, group] : config.selectors) {
    for (const std::string& name : group.members) {
      if (config.outboundTypes.count(name) == 0) {
        throw EngineConfigError("selector \"" + tag + "\": outbound not found: " + name);
      }
    }
  }
}

}  // namespace

void parseLoopbackAddress(const std::string& address, std::string& host, int& port) {
  std::string hostPart;
  std::string portPart;
  if (!address.empty() && address.front() == '[') {
    auto close = address.find(']');
    if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':') {
      throw EngineConfigError("experimental.clash_api.external_controller \"" + address +
                              "\": expected [host]:port");
    }
    hostPart = address.substr(1, close - 1);
    portPart = address.substr(close + 2);
  } else {
    auto colon = address.rfind(':');
    if (colon == std::string::npos) {
      throw EngineConfigError("experimental.clash_api.external_controller \"" + address +
                              "\": expected host:port");
    }
    hostPart = address.substr(0, colon);
    portPart = address.substr(colon + 1);
  }
  port = parsePort(portPart, address);
  if (hostPart == "localhost") {
    hostPart = "127.0.0.1";
  }
  if (!isLoopback(hostPart)) {
    throw EngineConfigError("experimental.clash_api.external_controller \"" + address +
                            "\": the stand-in serves only on a loopback address");
  }
  host = hostPart;
}

EngineConfig EngineConfig::parse(const std::string& text) {
  json root;
  try {
    root = parseBoundedJson(text, kMaxConfigDepth, /*ignoreComments=*/true);
  } catch (const json::exception& error) {
    throw EngineConfigError(std::string("not a JSON configuration: ") + error.what());
  }
  if (!root.is_object()) {
    throw EngineConfigError("not a JSON configuration: the top level must be an object");
  }
  EngineConfig config;
  readClashApi(root, config);
  readOutbounds(root, config);
  return config;
}

}  // namespace tarq
