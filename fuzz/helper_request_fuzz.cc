// The development helper's request line: HelperRequests::handle() for an
// allowed caller and for a stranger (the first input byte picks which; the
// rest is the line, with "@CONFIG@" standing for a configuration file the
// allowed caller owns). The engine can never launch here (its log folder does
// not exist), so a "start" that gets past the file checks fails late.
// Properties: the reply is one JSON object line that the plug-in's decoder
// reads; a refusal says why; "status" describes this build; a stranger is
// always refused; no configuration copy is left behind.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "fuzz_check.h"
#include "helper/helper_client.h"
#include "helper_requests.h"

namespace {

using nlohmann::json;
using tarq::fuzzCheck;

constexpr char kBuild[] = "tarq-devhelper fuzz";

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
    requests = std::make_unique<tarq::HelperRequests>(engine, root + "/state", std::set{caller},
                                                      kBuild, [](const std::string&) {});
  }
  ~Fixture() { std::filesystem::remove_all(root); }
  static Fixture& fixture();

  std::string root;
  std::string configPath;
  uid_t caller;
  tarq::EngineProcess engine{{.program = "/nonexistent/engine",
                              .logPath = "/nonexistent/engine.log",
                              .workDirectory = "/"}};
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
  const bool stranger = (data[0] & 1) != 0;
  const std::string line = withConfigPath(
      std::string(reinterpret_cast<const char*>(data) + 1, size - 1), fixture.configPath);
  const std::string reply =
      fixture.requests->handle(line, stranger ? fixture.caller + 1 : fixture.caller);

  fuzzCheck(reply.find('\n') == std::string::npos, "a reply is one line");
  const json parsed = json::parse(reply, nullptr, /*allow_exceptions=*/false);
  fuzzCheck(parsed.is_object() && parsed.contains("ok") && parsed["ok"].is_boolean(),
            "a reply is an object with a Boolean \"ok\"");
  const tarq::HelperReply decoded = tarq::HelperClient::decode(reply);
  fuzzCheck(decoded.ok || !decoded.error.empty(), "a refusal says why");
  fuzzCheck(!stranger || !decoded.ok, "a stranger is refused");
  const json request = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!stranger && request.is_object() && request.value("op", json()) == "status") {
    fuzzCheck(decoded.ok && !decoded.running && decoded.build == kBuild,
              "status describes this build and no engine");
  }
  fuzzCheck(access((fixture.root + "/state/" + tarq::kConfigCopyName).c_str(), F_OK) != 0,
            "no configuration copy is left behind");
  return 0;
}
