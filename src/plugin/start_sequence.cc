// The start sequence: helper check, configuration file, helper commands,
// waits for sing-box and its Clash API, outbound selection, "connected" and
// sampling. Every failure after "connecting" becomes one "error" state and
// one "start_failed" answer, after a best-effort "stop" to the helper.
#include <chrono>
#include <utility>

#include "plugin/tarq_engine_plugin.h"

namespace tarq {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr Duration kWaitDeadline = seconds(10);
constexpr Duration kPollPause = milliseconds(200);

const nlohmann::json kStatusCommand = {{"op", "status"}};
const nlohmann::json kStopCommand = {{"op", "stop"}};

}  // namespace

void TarqEnginePlugin::start(const std::string& config, const std::string& selected,
                             int64_t clashPort, const std::string& clashSecret,
                             const Result& result) {
  Clock& clock = *environment_.clock;
  if (helperService().isBundled()) {
    // A daemon just registered may take a moment to create its socket.
    const SteadyTime deadline = clock.now() + kWaitDeadline;
    while (clock.now() < deadline && !helperSocketExists()) {
      clock.sleepFor(kPollPause);
    }
  }
  if (!helperSocketExists()) {
    const std::string message = HelperError::notInstalled().errorDescription();
    publish("error", message, 0);
    answer(result, FlutterError{"helper_missing", message, Value()});
    return;
  }

  publish("connecting", std::nullopt, 0);
  std::shared_ptr<ClashClient> client;
  try {
    const std::string path = configFile_.write(config);
    const HelperReply reply = startHelper(path, selected);
    if (!reply.ok) {
      throw HelperError::refused(reply.error.empty() ? "the helper refused to start sing-box"
                                                     : reply.error);
    }
    waitForEngine();
    client = connectClash(clashPort, clashSecret);
    if (selected != kAutoOutbound) {
      client->request("PUT", kSelectorPath, nlohmann::json{{"name", selected}}.dump());
    }
  } catch (const std::exception& error) {
    client.reset();  // no connection to the engine outlives it (see closeConnection())
    failStart(error.what(), result);
    return;
  } catch (...) {
    client.reset();
    failStart("unexpected failure", result);
    return;
  }

  try {
    const TrafficTotals totals = client->totals();
    lastUp_ = totals.up;
    lastDown_ = totals.down;
  } catch (...) {
    // The first sample is best effort: the sampler then measures from zero.
    lastUp_ = 0;
    lastDown_ = 0;
  }
  clash_ = std::move(client);
  publish("connected", std::nullopt, clock.wallMillis());
  startStats();
  answer(result, Value());
}

HelperReply TarqEnginePlugin::startHelper(const std::string& configPath,
                                          const std::string& selected) {
  // The file holds the user's secrets: it goes as soon as the helper has
  // answered "start" (it has read the file by then), or the exchange failed.
  struct RemoveConfigOnExit {
    const TarqEnginePlugin& plugin;
    ~RemoveConfigOnExit() {
      try {
        plugin.configFile_.remove();
      } catch (const std::exception& error) {
        plugin.environment_.log->write(std::string(kLogPrefix) +
                                       "user config not removed: " + error.what());
      }
    }
  } removeConfig{*this};

  // No connection to the old engine outlives it (see
  // ClashClient::closeConnection()): the old client keeps its place (a failed
  // restart leaves it in use) but not its connection.
  if (clash_) {
    clash_->closeConnection();
  }
  if (helper_->send(kStatusCommand).running) {
    helper_->send(kStopCommand);
  }
  return helper_->send({{"op", "start"}, {"config_path", configPath}, {"selected", selected}});
}

void TarqEnginePlugin::waitForEngine() {
  Clock& clock = *environment_.clock;
  const SteadyTime deadline = clock.now() + kWaitDeadline;
  while (clock.now() < deadline) {
    std::optional<HelperReply> reply;
    try {
      reply = helper_->send(kStatusCommand);
    } catch (const std::exception&) {
      // A failed poll is retried after the pause.
    }
    if (reply && reply->running) {
      return;
    }
    if (reply && !reply->error.empty()) {
      throw HelperError::refused("sing-box exited (" + reply->error + ") \u2014 see " +
                                 kEngineLogPath);
    }
    clock.sleepFor(kPollPause);
  }
  throw HelperError::refused("timed out waiting for sing-box to start");
}

std::shared_ptr<ClashClient> TarqEnginePlugin::connectClash(int64_t port,
                                                            const std::string& secret) {
  Clock& clock = *environment_.clock;
  auto client = std::make_shared<ClashClient>(port, secret);
  const SteadyTime deadline = clock.now() + kWaitDeadline;
  while (clock.now() < deadline) {
    try {
      client->request("GET", "/version");
      return client;
    } catch (const std::exception&) {
      clock.sleepFor(kPollPause);
    }
  }
  throw HelperError::refused("timed out waiting for the clash api");
}

void TarqEnginePlugin::failStart(const std::string& description, const Result& result) {
  try {
    helper_->send(kStopCommand);
  } catch (...) {
    // Best effort: the failure being reported is the start's, not this one.
  }
  publish("error", description, 0);
  answer(result, FlutterError{"start_failed", description, Value()});
}

}  // namespace tarq
