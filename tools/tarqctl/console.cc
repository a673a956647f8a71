#include "console.h"

#include <cstdio>
#include <iostream>

#include "json_values.h"

namespace tarq {

void Inbox::post(ConsoleMessage message) {
  std::lock_guard lock(mutex_);
  messages_.push_back(std::move(message));
  ready_.notify_one();
}

ConsoleMessage Inbox::take() {
  std::unique_lock lock(mutex_);
  ready_.wait(lock, [this] { return !messages_.empty(); });
  ConsoleMessage message = std::move(messages_.front());
  messages_.pop_front();
  return message;
}

Console::Console(Options options) : options_(std::move(options)), session_(options_.socketPath) {
  std::weak_ptr<Inbox> inbox = inbox_;
  session_.listen(Value(),
                  {.onEvent =
                       [inbox](const Value& event) {
                         if (auto target = inbox.lock()) {
                           target->post({.kind = ConsoleMessage::Kind::kEvent, .event = event});
                         }
                       },
                   .onError = [](const FlutterError&) {},
                   .onEnd = [] {}});
}

int64_t Console::call(const std::string& method, Value arguments) {
  int64_t id = nextId_++;
  std::weak_ptr<Inbox> inbox = inbox_;
  session_.call(method, std::move(arguments), [inbox, id, method](MethodResponse response) {
    if (auto target = inbox.lock()) {
      target->post({.kind = ConsoleMessage::Kind::kAnswer,
                    .id = id,
                    .response = std::move(response),
                    .method = method});
    }
  });
  return id;
}

ConsoleMessage Console::next() {
  ConsoleMessage message = inbox_->take();
  if (options_.json) {
    if (message.kind == ConsoleMessage::Kind::kEvent) {
      std::cout << toLine({{"event", jsonFromValue(message.event)}}) << std::endl;
    } else if (message.kind == ConsoleMessage::Kind::kAnswer) {
      std::cout << toLine(jsonFromResponse(message.id, message.response)) << std::endl;
    }
  }
  return message;
}

MethodResponse Console::answerTo(int64_t id, const std::function<void(const Value&)>& onEvent) {
  for (;;) {
    ConsoleMessage message = next();
    if (message.kind == ConsoleMessage::Kind::kEvent) {
      onEvent(message.event);
    } else if (message.kind == ConsoleMessage::Kind::kAnswer && message.id == id) {
      return message.response;
    }
  }
}

void Console::say(const std::string& text) const {
  if (!options_.json) {
    std::cout << text << std::flush;
  }
}

int Console::exitStatus(const MethodResponse& response, const std::string& method) const {
  if (std::holds_alternative<Value>(response)) {
    return 0;
  }
  if (const auto* error = std::get_if<FlutterError>(&response)) {
    std::cerr << error->code << ": " << error->message << std::endl;
  } else {
    std::cerr << "tarqctl: the plug-in does not implement \"" << method << "\"" << std::endl;
  }
  return 1;
}

}  // namespace tarq
