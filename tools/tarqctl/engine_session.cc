#include "engine_session.h"

#include <future>

#include "plugin/plugin_environment.h"
#include "plugin/tarq_engine_plugin.h"
#include "support/system_log.h"

namespace tarq {

EngineSession::EngineSession(const std::string& helperSocketPath, std::shared_ptr<SystemLog> log) {
  if (!log) {
    log = std::make_shared<TeeToStderrLog>(SystemLog::system());
  }
  host_ = std::make_unique<InProcessHost>(log);
  PluginEnvironment environment = PluginEnvironment::system();
  environment.log = log;
  environment.helperSocketPath = helperSocketPath;
  // The embedding registers plug-ins on its main thread.
  std::promise<void> registered;
  host_->runOnMainThread([this, &environment, &registered] {
    TarqEnginePlugin::registerWith(*host_, environment);
    registered.set_value();
  });
  registered.get_future().wait();
}

EngineSession::~EngineSession() {
  host_->shutdown();
}

void EngineSession::call(const std::string& method, Value arguments,
                         std::function<void(MethodResponse)> onResponse) {
  host_->invokeMethod(kMethodChannel, MethodCall{method, std::move(arguments)},
                      std::move(onResponse));
}

void EngineSession::listen(Value arguments, InProcessHost::Listener listener) {
  host_->listen(kEventChannel, std::move(arguments), std::move(listener));
}

void EngineSession::cancel(Value arguments) {
  host_->cancel(kEventChannel, std::move(arguments));
}

}  // namespace tarq
