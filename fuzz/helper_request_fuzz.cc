// The helper daemon's request line: HelperRequests::handle() for an admitted
// caller who owns the configuration and for one who owns nothing (the first
// input byte picks which; the rest is the line, with "@CONFIG@" standing for
// the configuration file). The engine program does not exist, so a "start"
// that gets past the file checks fails late, at launch.
// Properties: the reply is one JSON object line that the plug-in's decoder
// reads; a refusal says why; "status" describes this build; a caller never
// starts from a file it does not own; no configuration copy is left behind.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "daemon/core/helper_requests.h"
#include "fuzz_check.h"
#include "helper/helper_client.h"

namespace {

using nlohmann::json;
using tarq::fuzzCheck;

constexpr char kBuild[] = "tarq-helperd fuzz";

struct Fixture {
  Fixture() {
    char pattern[] = "/tmp/tarq-fuzz-devhelper-XXXXXX";
    root = mkdtemp(pattern);
    std::filesystem::permissions(root, std::filesystem::perms(0755));
    configPath = root + "/config.json";
    std::ofstream(configPath)
        << R"({"experimental":{"clash_api":{"external_controller":"127.0.0.1:9"}}})";
    // As root, the caller is another user who owns the file.
    caller = getuid() == 0 ? 4242 : getuid();
    fuzzCheck(chown(configPath.c_str(), caller, static_cast<gid_t>(-1)) == 0, "fixture: chown");
    std::filesystem::create_directory(root + "/state");
    engine = std::make_unique<tarq::EngineProcess>(
        tarq::EngineProcess::Options{.program = "/nonexistent/engine",
                                     .logPath = root + "/engine.log",
                                     .workDirectory = root + "/state/engine"});
    requests = std::make_unique<tarq::HelperRequests>(
        *engine,
        tarq::HelperRequestSettings{.stateFolder = root + "/state",
                                    .engineFolder = root + "/state/engine",
                                    .build = kBuild},
        [](const std::string&) {});
  }
  ~Fixture() {
    requests.reset();
    engine.reset();
    std::filesystem::remove_all(root);
  }
  // An admitted caller: `uid` with its own group.
  static tarq::CallerVerdict admitted(uid_t uid) {
    return {.admitted = true, .uid = uid, .gid = static_cast<gid_t>(uid)};
  }
  static Fixture& fixture();

  std::string root;
  std::string configPath;
  uid_t caller;
  std::unique_ptr<tarq::EngineProcess> engine;
  std::unique_ptr<tarq::HelperRequests> requests;
};

Fixture& Fixture::fixture() {
  static Fixture instance;
  return instance;
}

std::string withConfigPath(std::string line, const std::string& path) {
  for (size_t at = line.find("@CONFIG@"); at != std::string::npos;
       at = line.find("@CONFIG@", at + path.size())) {
    line.replace(at, 8, path);
  }
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  Fixture& fixture = Fixture::fixture();
  const bool stranger = (data[0] & 1) != 0;  // owns no file
  const std::string line = withConfigPath(
      std::string(reinterpret_cast<const char*>(data) + 1, size - 1), fixture.configPath);
  const std::string reply = fixture.requests->handle(
      line, Fixture::admitted(stranger ? fixture.caller + 1 : fixture.caller));

  fuzzCheck(reply.find('\n') == std::string::npos, "a reply is one line");
  const json parsed = json::parse(reply, nullptr, /*allow_exceptions=*/false);
  fuzzCheck(parsed.is_object() && parsed.contains("ok") && parsed["ok"].is_boolean(),
            "a reply is an object with a Boolean \"ok\"");
  const tarq::HelperReply decoded = tarq::HelperClient::decode(reply);
  fuzzCheck(decoded.ok || !decoded.error.empty(), "a refusal says why");
  // nlohmann ends the text at a NUL byte; the helper refuses such a line.
  const json request = line.find('\0') == std::string::npos
                           ? json::parse(line, nullptr, /*allow_exceptions=*/false)
                           : json();
  const json op = request.is_object() ? request.value("op", json()) : json();
  // An engine that cannot launch makes every start fail; a caller who owns
  // no file must fail before that, at the file checks.
  fuzzCheck(op != "start" || !decoded.ok, "no start succeeds without an engine");
  fuzzCheck(!stranger || op != "start" || decoded.error.find("cannot run") == std::string::npos,
            "a caller never starts from a file it does not own");
  if (op == "status") {
    fuzzCheck(decoded.ok && !decoded.running && decoded.build == kBuild,
              "status describes this build and no engine");
  }
  fuzzCheck(access((fixture.root + "/state/" + tarq::kConfigCopyName).c_str(), F_OK) != 0,
            "no configuration copy is left behind");
  return 0;
}
