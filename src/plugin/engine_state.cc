// The engine state, the event stream and the two status queries.
#include <utility>

#include "plugin/tarq_engine_plugin.h"

namespace tarq {
namespace {

const nlohmann::json kStatusCommand = {{"op", "status"}};

}  // namespace

void TarqEnginePlugin::publish(const std::string& state, std::optional<std::string> error,
                               int64_t since) {
  state_ = state;
  failure_ = std::move(error);
  since_ = since;
  ValueMap event{{"type", "status"}, {"state", state_}};
  if (failure_) {
    event.emplace("error", *failure_);
  }
  if (since_ >= 1) {
    event.emplace("since", since_);
  }
  emit(Value(std::move(event)));
}

void TarqEnginePlugin::emit(Value event) {
  if (!sink_) {
    return;  // nobody listens: the event is lost, not kept for a later listener
  }
  mainThread_->post([sink = sink_, event = std::move(event)] { sink->success(event); });
}

std::optional<FlutterError> TarqEnginePlugin::onListen(const Value& /*arguments*/,
                                                       std::shared_ptr<EventSink> events) {
  queue_->post([self = shared_from_this(), events = std::move(events)]() mutable {
    self->sink_ = std::move(events);
  });
  return std::nullopt;
}

std::optional<FlutterError> TarqEnginePlugin::onCancel(const Value& /*arguments*/) {
  queue_->post([self = shared_from_this()] { self->sink_.reset(); });
  return std::nullopt;
}

void TarqEnginePlugin::status(const Result& result) {
  bool running = false;
  try {
    running = helper_->send(kStatusCommand).running;
  } catch (const std::exception&) {
    // An unreachable helper means the engine is not running.
  }
  if (running && state_ == "disconnected") {
    publish("connected", std::nullopt, 0);
  } else if (!running && (state_ == "connected" || state_ == "connecting")) {
    publish("disconnected", std::nullopt, 0);
  }
  ValueMap answerMap{{"state", state_}};
  if (failure_) {
    answerMap.emplace("error", *failure_);
  }
  if (since_ >= 1) {
    answerMap.emplace("since", since_);
  }
  answer(result, Value(std::move(answerMap)));
}

void TarqEnginePlugin::helperStatus(const Result& result) {
  HelperReply reply;
  try {
    reply = helper_->send(kStatusCommand);
  } catch (const std::exception&) {
    answer(result, Value());
    return;
  }
  answer(result,
         Value(ValueMap{{"running", reply.running}, {"pid", reply.pid}, {"build", reply.build}}));
}

}  // namespace tarq
