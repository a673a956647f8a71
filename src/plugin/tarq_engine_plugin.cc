// Registration, construction and the method dispatch of the plug-in. The
// operations themselves live in engine_state.cc, start_sequence.cc,
// stop_and_select.cc and traffic_sampler.cc.
#include "plugin/tarq_engine_plugin.h"

#include <unistd.h>

#include <filesystem>
#include <utility>
#include <variant>

#include "helper/socket_transport.h"
#include "plugin/checked_call.h"

namespace tarq {
namespace {

inline constexpr double kHelperTimeoutSeconds = 10.0;

// The folder that holds the configuration file. Without an Application
// Support directory the file goes to a private folder under the temporary
// directory: it is still created 0700/0600 and removed at once.
std::string configDirectory(const Platform& platform) {
  if (auto support = platform.applicationSupportDirectory()) {
    return *support + "/" + kConfigDirectoryName;
  }
  std::error_code ignored;
  auto temp = std::filesystem::temp_directory_path(ignored);
  if (temp.empty()) {
    temp = "/tmp";
  }
  return (temp / (std::string(kConfigDirectoryName) + "-" + std::to_string(getuid()))).string();
}

}  // namespace

void TarqEnginePlugin::registerWith(Registrar& registrar, PluginEnvironment environment) {
  auto helper = std::make_shared<HelperClient>(
      std::make_unique<SocketTransport>(kHelperTimeoutSeconds, environment.helperSocketPath));
  UserConfigFile configFile{configDirectory(*environment.platform)};
  auto plugin = std::make_shared<TarqEnginePlugin>(std::move(helper), std::move(configFile),
                                                   std::move(environment), registrar.mainThread());
  registrar.setMethodCallHandler(
      kMethodChannel, [plugin](const MethodCall& call, std::unique_ptr<MethodResult> result) {
        plugin->handle(call, std::move(result));
      });
  registrar.setStreamHandler(kEventChannel, plugin);
}

TarqEnginePlugin::TarqEnginePlugin(std::shared_ptr<HelperClient> helper, UserConfigFile configFile,
                                   PluginEnvironment environment,
                                   std::shared_ptr<MainThread> mainThread)
    : helper_(std::move(helper)),
      configFile_(std::move(configFile)),
      environment_(std::move(environment)),
      mainThread_(std::move(mainThread)),
      queue_(std::make_unique<WorkQueue>(kQueueLabel, environment_.clock)) {}

// The timer is destroyed before the queue it runs on (declaration order); the
// queue lets tasks already posted finish on its own thread.
TarqEnginePlugin::~TarqEnginePlugin() = default;

void TarqEnginePlugin::handle(const MethodCall& call, std::unique_ptr<MethodResult> unique) {
  std::variant<CheckedCall, MethodResponse> checked = checkCall(call);
  if (auto* response = std::get_if<MethodResponse>(&checked)) {
    unique->answer(std::move(*response));  // bad arguments, or no such method
    return;
  }
  CheckedCall& work = std::get<CheckedCall>(checked);
  Result result(std::move(unique));
  using Method = CheckedCall::Method;
  switch (work.method) {
    case Method::kPrepare:
      // Captures no plug-in: a "prepare" still runs, and answers, when the
      // host has let go of the plug-in meanwhile.
      queue_->post([service = helperService(), result, mainThread = mainThread_] {
        service.prepare([result, mainThread](bool usable) {
          mainThread->post([result, usable] { result->success(Value(usable)); });
        });
      });
      return;
    case Method::kStart:
      queue_->post([self = shared_from_this(), work = std::move(work), result] {
        self->start(work.config, work.selected, work.clashPort, work.clashSecret, result);
      });
      return;
    case Method::kSelect:
      queue_->post([self = shared_from_this(), tag = std::move(work.tag), result] {
        self->select(tag, result);
      });
      return;
    case Method::kStop:
      queue_->post([self = shared_from_this(), result] { self->stop(result); });
      return;
    case Method::kStatus:
      queue_->post([self = shared_from_this(), result] { self->status(result); });
      return;
    case Method::kHelperStatus:
      queue_->post([self = shared_from_this(), result] { self->helperStatus(result); });
      return;
  }
}

void TarqEnginePlugin::answer(const Result& result, MethodResponse response) {
  mainThread_->post(
      [result, response = std::move(response)]() mutable { result->answer(std::move(response)); });
}

HelperService TarqEnginePlugin::helperService() const {
  return HelperService({.clock = environment_.clock,
                        .platform = environment_.platform,
                        .log = environment_.log,
                        .registration = environment_.registration,
                        .socketPath = environment_.helperSocketPath});
}

bool TarqEnginePlugin::helperSocketExists() const {
  return environment_.platform->fileExists(environment_.helperSocketPath);
}

}  // namespace tarq
