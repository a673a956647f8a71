#include "tests/support/plugin_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "helper/helper_service.h"
#include "plugin/tarq_engine_plugin.h"

namespace tarq::testing {

PluginHarness::PluginHarness(Options options)
    : socketPath(dir.file("helper.sock")),
      applicationSupport(dir.file("support")),
      bundleRoot(dir.file("Tarq.app")),
      log(std::make_shared<MemoryLog>()),
      registration(std::make_shared<FakeRegistrationService>()) {
  if (options.realClock) {
    clock = Clock::system();
  } else {
    virtualClock = std::make_shared<VirtualClock>();
    clock = virtualClock;
  }
  std::filesystem::create_directories(bundleRoot + "/" + kLaunchDaemonsFolder);
  if (options.bundled) {
    std::ofstream(bundleRoot + "/" + kLaunchDaemonsFolder + kHelperPlistName) << "<plist/>";
  }
  platform = std::make_shared<FakePlatform>(applicationSupport, bundleRoot);
  host = std::make_unique<InProcessHost>(log);

  PluginEnvironment environment;
  environment.clock = clock;
  environment.platform = platform;
  environment.log = log;
  environment.registration = registration;
  environment.helperSocketPath = socketPath;
  TarqEnginePlugin::registerWith(*host, environment);
}

PluginHarness::~PluginHarness() {
  host->shutdown();
}

std::future<MethodResponse> PluginHarness::callAsync(const std::string& method, Value arguments) {
  auto promise = std::make_shared<std::promise<MethodResponse>>();
  auto future = promise->get_future();
  host->invokeMethod(kMethodChannel, MethodCall{method, std::move(arguments)},
                     [this, method, promise](MethodResponse response) {
                       {
                         std::lock_guard lock(mutex_);
                         timeline_.push_back("answer " + method);
                       }
                       changed_.notify_all();
                       promise->set_value(std::move(response));
                     });
  return future;
}

MethodResponse PluginHarness::call(const std::string& method, Value arguments,
                                   std::chrono::milliseconds timeout) {
  auto future = callAsync(method, std::move(arguments));
  if (future.wait_for(timeout) != std::future_status::ready) {
    ADD_FAILURE() << "no answer to " << method;
    return FlutterError{"test_timeout", "no answer to " + method, Value()};
  }
  return future.get();
}

void PluginHarness::listen() {
  InProcessHost::Listener listener;
  listener.onEvent = [this](const Value& event) {
    std::string name;
    if (const Value* state = event.find("state")) {
      name = *state->get<std::string>();
    } else if (const Value* type = event.find("type")) {
      name = *type->get<std::string>();
    }
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
      timeline_.push_back("event " + name);
    }
    changed_.notify_all();
  };
  host->listen(kEventChannel, Value(), std::move(listener));
  host->flush();
}

void PluginHarness::cancel() {
  host->cancel(kEventChannel, Value());
  host->flush();
}

std::vector<Value> PluginHarness::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<Value> PluginHarness::eventsOfType(const char* type) const {
  std::vector<Value> matching;
  for (const Value& event : events()) {
    if (const Value* found = event.find("type"); found && *found == Value(type)) {
      matching.push_back(event);
    }
  }
  return matching;
}

std::vector<std::string> PluginHarness::states() const {
  std::vector<std::string> states;
  for (const Value& event : eventsOfType("status")) {
    states.push_back(*event.find("state")->get<std::string>());
  }
  return states;
}

std::vector<std::string> PluginHarness::timeline() const {
  std::lock_guard lock(mutex_);
  return timeline_;
}

bool PluginHarness::waitForEvents(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
}

void PluginHarness::flush() {
  host->flush();
}

std::string PluginHarness::configPath() const {
  return applicationSupport + "/" + kConfigDirectoryName + "/" + kConfigFileName;
}

bool isNullSuccess(const MethodResponse& response) {
  const Value* value = std::get_if<Value>(&response);
  return value != nullptr && value->isNull();
}

const FlutterError* asError(const MethodResponse& response) {
  return std::get_if<FlutterError>(&response);
}

const Value* asValue(const MethodResponse& response) {
  return std::get_if<Value>(&response);
}

}  // namespace tarq::testing
