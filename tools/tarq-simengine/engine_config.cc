#include "engine_config.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>

#include "daemon/core/clash_controller_address.h"
#include "daemon/core/config_document.h"

namespace tarq {
namespace {

using nlohmann::json;

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

// The address to listen on for `controller`, on this machine's loopback only.
void readListenAddress(const std::string& controller, EngineConfig& config) {
  ClashControllerAddress address;
  try {
    address = parseClashController(controller);
  } catch (const ClashControllerError& error) {
    throw EngineConfigError(error.what());
  }
  using Host = ClashControllerAddress::Host;
  if (address.host == Host::kEveryAddress || address.host == Host::kLocalhost) {
    config.host = "127.0.0.1";
  } else if (address.loopbackOnly()) {
    config.host = address.address;
  } else {
    throw EngineConfigError(std::string(kClashControllerOption) + " \"" + controller +
                            "\": the stand-in serves only on a loopback address");
  }
  config.port = address.port;
}

void readClashApi(const ConfigDocument& document, EngineConfig& config) {
  const json clashApi = document.effectiveAt({"experimental", "clash_api"});
  if (!clashApi.is_object()) {
    throw EngineConfigError("experimental.clash_api is missing: the stand-in serves nothing else");
  }
  const std::string where = "experimental.clash_api";
  std::string controller = stringMember(clashApi, "external_controller", where);
  if (controller.empty()) {
    throw EngineConfigError(where + ".external_controller is missing");
  }
  readListenAddress(controller, config);
  config.secret = stringMember(clashApi, "secret", where);
}

void readCacheFile(const ConfigDocument& document, EngineConfig& config) {
  const json cacheFile = document.effectiveAt({"experimental", "cache_file"});
  const json* enabled = member(cacheFile, "enabled");
  if (enabled == nullptr || !enabled->is_boolean() || !enabled->get<bool>()) {
    return;
  }
  config.cacheFile = stringMember(cacheFile, "path", "experimental.cache_file");
  if (config.cacheFile.empty()) {
    config.cacheFile = "cache.db";
  }
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
void readOutbounds(const ConfigDocument& document, EngineConfig& config) {
  for (const char* list : {"outbounds", "endpoints"}) {
    const json entries = document.effectiveAt({list});
    if (entries.is_null()) {
      continue;
    }
    if (!entries.is_array()) {
      throw EngineConfigError(std::string(list) + " must be an array");
    }
    for (const json& entry : entries) {
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

EngineConfig EngineConfig::parse(const std::string& text) {
  std::optional<ConfigDocument> document;
  try {
    document.emplace(ConfigDocument::parse(text));
  } catch (const ConfigDocumentError& error) {
    throw EngineConfigError(std::string("not a JSON configuration: ") + error.what());
  }
  if (!document->root().isObject()) {
    throw EngineConfigError("not a JSON configuration: the top level must be an object");
  }
  EngineConfig config;
  readClashApi(*document, config);
  readCacheFile(*document, config);
  readOutbounds(*document, config);
  return config;
}

}  // namespace tarq
