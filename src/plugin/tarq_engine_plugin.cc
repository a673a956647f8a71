// Registration, construction and the method dispatch of the plug-in. The
// operations themselves live in engine_state.cc, start_sequence.cc,
// stop_and_select.cc and traffic_sampler.cc.
#include "plugin/tarq_engine_plugin.h"

#include <unistd.h>

#include <filesystem>
#include <utility>

#include "helper/socket_transport.h"

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

const std::string* stringArgument(const ValueMap& arguments, const std::string& key) {
  auto it = arguments.find(key);
  return it == arguments.end() ? nullptr : it->second.get<std::string>();
}

// Optional arguments never fail: a missing or mistyped one takes its default.
std::string stringOr(const ValueMap& arguments, const std::string& key, std::string fallback) {
  const std::string* value = stringArgument(arguments, key);
  return value ? *value : std::move(fallback);
}

int64_t integerOr(const ValueMap& arguments, const std::string& key, int64_t fallback) {
  auto it = arguments.find(key);
  if (it == arguments.end()) {
    return fallback;
  }
  const int64_t* value = it->second.get<int64_t>();
  return value ? *value : fallback;
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
  const std::string& method = call.method;
  if (method == "prepare") {
    // Captures no plug-in: a "prepare" still runs, and answers, when the host
    // has let go of the plug-in meanwhile.
    Result result(std::move(unique));
    queue_->post([service = helperService(), result, mainThread = mainThread_] {
      service.prepare([result, mainThread](bool usable) {
        mainThread->post([result, usable] { result->success(Value(usable)); });
      });
    });
    return;
  }
  if (method == "start") {
    const ValueMap* arguments = call.arguments.get<ValueMap>();
    const std::string* config = arguments ? stringArgument(*arguments, "config") : nullptr;
    if (config == nullptr) {
      unique->error("bad_args", "start requires a config");
      return;
    }
    Result result(std::move(unique));
    queue_->post([self = shared_from_this(), config = *config,
                  selected = stringOr(*arguments, "selected", kAutoOutbound),
                  port = integerOr(*arguments, "clashPort", 0),
                  secret = stringOr(*arguments, "clashSecret", ""),
                  result] { self->start(config, selected, port, secret, result); });
    return;
  }
  if (method == "select") {
    const ValueMap* arguments = call.arguments.get<ValueMap>();
    const std::string* tag = arguments ? stringArgument(*arguments, "tag") : nullptr;
    if (tag == nullptr) {
      unique->error("bad_args", "select requires a tag");
      return;
    }
    Result result(std::move(unique));
    queue_->post([self = shared_from_this(), tag = *tag, result] { self->select(tag, result); });
    return;
  }
  using Operation = void (TarqEnginePlugin::*)(const Result&);
  Operation operation = nullptr;
  if (method == "stop") {
    operation = &TarqEnginePlugin::stop;
  } else if (method == "status") {
    operation = &TarqEnginePlugin::status;
  } else if (method == "helperStatus") {
    operation = &TarqEnginePlugin::helperStatus;
  } else {
    unique->notImplemented();
    return;
  }
  Result result(std::move(unique));
  queue_->post([self = shared_from_this(), operation, result] { ((*self).*operation)(result); });
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
