// "stop" and "select".
#include <utility>

#include "plugin/tarq_engine_plugin.h"

namespace tarq {

void TarqEnginePlugin::stop(const Result& result) {
  // Monitoring ends first, whatever the helper answers afterwards; the
  // client's connection goes with it, before the engine is asked to stop.
  if (statsTimer_) {
    statsTimer_->stop();
    statsTimer_.reset();
  }
  clash_.reset();

  if (!helperSocketExists()) {
    publish("disconnected", std::nullopt, 0);
    answer(result, Value());
    return;
  }
  try {
    const HelperReply reply = helper_->send({{"op", "stop"}});
    if (!reply.ok) {
      throw HelperError::refused(reply.error);
    }
  } catch (const std::exception& error) {
    const std::string description = error.what();
    publish("error", description, 0);
    answer(result, FlutterError{"stop_failed", description, Value()});
    return;
  }
  publish("disconnected", std::nullopt, 0);
  answer(result, Value());
}

void TarqEnginePlugin::select(const std::string& tag, const Result& result) {
  if (!clash_) {
    answer(result, FlutterError{"select_failed", "the tunnel is not running", Value()});
    return;
  }
  const std::shared_ptr<ClashClient> client = clash_;
  try {
    client->request("PUT", kSelectorPath, nlohmann::json{{"name", tag}}.dump());
  } catch (const std::exception& error) {
    answer(result, FlutterError{"select_failed", error.what(), Value()});
    return;
  }
  answer(result, Value());
}

}  // namespace tarq
