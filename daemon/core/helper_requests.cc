#include "helper_requests.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "config_intake.h"
#include "config_path_policy.h"
#include "engine_folder.h"
#include "readiness_probe.h"

namespace tarq {
namespace {

using nlohmann::json;

std::string refusal(const std::string& reason) {
  return json{{"ok", false}, {"error", reason}}.dump(-1, ' ', false,
                                                     json::error_handler_t::replace);
}

std::string okay() {
  return json{{"ok", true}}.dump();
}

// Whether `text` nests arrays and objects at most `limit` deep. Requests
// are flat objects; a deeply nested line is refused before it is parsed.
bool nestsAtMost(const std::string& text, size_t limit) {
  size_t depth = 0;
  bool inString = false;
  for (size_t index = 0; index < text.size(); ++index) {
    char c = text[index];
    if (inString) {
      if (c == '\\') {
        ++index;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) {
        return false;
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

// Request text goes into replies and log lines; keep it short and valid.
std::string quoted(const std::string& text) {
  constexpr size_t kMaxShown = 64;
  std::string shown = text.size() > kMaxShown ? text.substr(0, kMaxShown) + "..." : text;
  return json(shown).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

HelperRequests::HelperRequests(EngineProcess& engine, HelperRequestSettings settings,
                               std::function<void(const std::string&)> log)
    : engine_(engine), settings_(std::move(settings)), log_(std::move(log)) {}

std::string HelperRequests::handle(const std::string& line, const CallerVerdict& caller) {
  constexpr size_t kMaxRequestDepth = 8;
  if (!nestsAtMost(line, kMaxRequestDepth)) {
    return refusal("malformed request: nested too deeply");
  }
  // nlohmann would end the text at a NUL byte and serve what stands before
  // it, ignoring the rest; a line is one JSON object, all of it.
  json request = line.find('\0') == std::string::npos
                     ? json::parse(line, nullptr, /*allow_exceptions=*/false)
                     : json(json::value_t::discarded);
  if (!request.is_object()) {
    return refusal("malformed request: expected one JSON object");
  }
  auto op = request.find("op");
  if (op == request.end() || !op->is_string()) {
    return refusal("malformed request: \"op\" must be a string");
  }
  const std::string name = op->get<std::string>();
  if (name == "status") {
    return status();
  }
  if (name == "stop") {
    return stop();
  }
  if (name == "start") {
    auto path = request.find("config_path");
    if (path == request.end() || !path->is_string()) {
      return refusal("malformed request: \"start\" needs a \"config_path\" string");
    }
    return start(path->get<std::string>(), caller);
  }
  return refusal("unknown op " + quoted(name));
}

std::string HelperRequests::start(const std::string& configPath, const CallerVerdict& caller) {
  std::lock_guard lock(lifecycle_);
  std::string content;
  try {
    content = readCallerConfig(configPath, caller.uid, caller.gid);
  } catch (const RequestRefused& reason) {
    log_("start refused for uid " + std::to_string(caller.uid) + ": " + reason.what());
    return refusal(reason.what());
  }
  if (std::optional<std::string> refused = checkConfiguration(content)) {
    log_("start refused for uid " + std::to_string(caller.uid) + ": " + *refused);
    return refusal(*refused);
  }
  // The old engine may still be reading its copy: stop it before replacing.
  engine_.stop();
  try {
    prepareEngineFolder(settings_.engineFolder, settings_.engineIdentity);
    std::string copy = writeCopy(content);
    engine_.start(copy, clashApiProbe(content));
  } catch (const std::exception& error) {
    removeCopy();
    log_(std::string("start failed: ") + error.what());
    return refusal(error.what());
  }
  return okay();
}

std::optional<std::string> HelperRequests::checkConfiguration(const std::string& content) {
  if (settings_.allowConfigPaths) {
    log_(
        "--allow-config-paths: the configuration may name files and folders outside the engine's "
        "folder, and it is not checked for them");
    return std::nullopt;
  }
  try {
    checkConfigText(content, settings_.engineFolder);
  } catch (const RequestRefused& reason) {
    return reason.what();
  }
  return std::nullopt;
}

std::string HelperRequests::writeCopy(const std::string& content) {
  const std::optional<EngineIdentity>& engine = settings_.engineIdentity;
  bool ownUser = engine && !engine->isRoot() && geteuid() == 0;
  std::string copy = writePrivateFile(
      settings_.stateFolder, kConfigCopyName, content,
      ownUser ? std::optional<FileOwner>(FileOwner{engine->uid, engine->gid}) : std::nullopt);
  if (ownUser) {
    requireEngineCanOpen(copy, *engine);
    requireEngineCanOpen(settings_.engineFolder, *engine);
  }
  return copy;
}

std::string HelperRequests::stop() {
  std::lock_guard lock(lifecycle_);
  engine_.stop();
  removeCopy();
  return okay();
}

std::string HelperRequests::status() {
  EngineStatus engine = engine_.status();
  json reply = {
      {"ok", true}, {"running", engine.running}, {"pid", engine.pid}, {"build", settings_.build}};
  if (!engine.error.empty()) {
    reply["error"] = engine.error;
  }
  return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

void HelperRequests::shutdown() {
  std::lock_guard lock(lifecycle_);
  engine_.stop();
  removeCopy();
}

void HelperRequests::removeCopy() {
  std::string copy = settings_.stateFolder + "/" + kConfigCopyName;
  unlink(copy.c_str());
}

}  // namespace tarq
