#include "commands.h"

#include <functional>
#include <iostream>

#include "console.h"
#include "human_format.h"

namespace tarq {
namespace {

constexpr char kNotRunning[] = "the tunnel is not running";

// One call, its answer, and the exit status; `describe` prints a value.
int callOnce(const CommonOptions& options, const std::string& method, Value arguments,
             const std::function<void(const Console&, const Value&)>& describe) {
  Console console({.socketPath = options.socketPath, .json = options.json});
  int64_t id = console.call(method, std::move(arguments));
  MethodResponse response = console.answerTo(id, [](const Value&) {});
  int status = console.exitStatus(response, method);
  if (status == 0) {
    describe(console, std::get<Value>(response));
  }
  return status;
}

}  // namespace

int runPrepare(const CommonOptions& options) {
  return callOnce(options, "prepare", Value(), [](const Console& console, const Value& answer) {
    const bool* ready = answer.get<bool>();
    console.say(ready != nullptr && *ready
                    ? "the helper can be used\n"
                    : "the helper needs the user's approval first: allow it in System Settings, "
                      "Login Items, then prepare again\n");
  });
}

int runStatus(const CommonOptions& options) {
  return callOnce(options, "status", Value(), [](const Console& console, const Value& answer) {
    console.say(describeStatus(answer));
  });
}

int runHelperStatus(const CommonOptions& options) {
  return callOnce(options, "helperStatus", Value(),
                  [](const Console& console, const Value& answer) {
                    console.say(describeHelperStatus(answer, console.socketPath()));
                  });
}

int runSelect(const CommonOptions& options, const std::string& tag) {
  Console console({.socketPath = options.socketPath, .json = options.json});
  MethodResponse response =
      console.answerTo(console.call("select", ValueMap{{"tag", tag}}), [](const Value&) {});
  int status = console.exitStatus(response, "select");
  const auto* error = std::get_if<FlutterError>(&response);
  if (status == 0) {
    console.say("outbound \"" + tag + "\" selected\n");
  } else if (error != nullptr && error->message == kNotRunning && !options.json) {
    std::cerr << "tarqctl: a tarqctl process controls only the tunnel it started itself; type "
                 "\"select TAG\" in the session of \"tarqctl start CONFIG --follow\", or use "
                 "\"tarqctl channel\""
              << std::endl;
  }
  return status;
}

int runStop(const CommonOptions& options) {
  return callOnce(options, "stop", Value(),
                  [](const Console& console, const Value&) { console.say("stopped\n"); });
}

}  // namespace tarq
